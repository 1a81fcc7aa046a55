// The server engine's entry point (data/server_module.h).
#include "data/server_module.h"
#include "data/postgres/copy_in.h"
#include "data/postgres/server_database.h"

extern "C" __attribute__((visibility("default"))) const kelda::data::ServerModule*
kelda_server_module() {
  static const kelda::data::ServerModule module{
      &kelda::data::postgres::OpenServer,
      &kelda::data::postgres::MakeNewServerTables,
  };
  return &module;
}
