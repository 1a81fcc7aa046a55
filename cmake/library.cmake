# libkelda: the subsystem libraries bound into one library for programs
# outside this tree, shared (with a SONAME) and static. Its interface is the
# public headers of include/kelda.
set(KELDA_LIBRARY_PARTS kelda_base kelda_engine kelda_data kelda_status kelda_training_table
                        kelda_training kelda_relevance kelda_component kelda_import)
set(kelda_objects "")
foreach(part ${KELDA_LIBRARY_PARTS})
  list(APPEND kelda_objects $<TARGET_OBJECTS:${part}>)
endforeach()

add_library(kelda_shared SHARED ${kelda_objects})
add_library(kelda_static STATIC ${kelda_objects})
foreach(lib kelda_shared kelda_static)
  set_target_properties(${lib} PROPERTIES OUTPUT_NAME kelda LINKER_LANGUAGE CXX)
  target_include_directories(${lib} INTERFACE $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
                                              $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_compile_features(${lib} INTERFACE cxx_std_20)
endforeach()
set_target_properties(kelda_shared PROPERTIES VERSION ${PROJECT_VERSION}
                                              SOVERSION ${PROJECT_VERSION_MAJOR} EXPORT_NAME kelda)
# What the parts link with (SQLite, fmt) comes through their
# usage requirements; the parts' own code is already in the objects, so the
# linker takes nothing from their archives.
target_link_libraries(kelda_shared PRIVATE ${KELDA_LIBRARY_PARTS})
# The same libraries for a static link, for the pkg-config file: the shared
# libraries themselves, not what their own static links would need.
# (GTK and Cairo are the window module's, libpq the server engine's, both
# loaded at run time.)
set(kelda_pc_modules sqlite3 fmt)
execute_process(COMMAND ${PKG_CONFIG_EXECUTABLE} --libs ${kelda_pc_modules}
                OUTPUT_VARIABLE KELDA_PC_LIBS_PRIVATE OUTPUT_STRIP_TRAILING_WHITESPACE
                COMMAND_ERROR_IS_FATAL ANY)
