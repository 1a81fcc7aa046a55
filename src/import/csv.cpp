#include <fmt/format.h>
#include <kelda/import.h>

#include "base/error.h"
#include "component/thread_settings.h"

namespace kelda {

std::vector<CsvRecord> ParseCsv(std::string_view text, std::string_view origin,
                                const WorkOptions& work) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::vector<CsvRecord> records;
  CsvRecord record;
  std::string cell;
  bool quoted = false;       // inside a quoted cell
  bool was_quoted = false;   // the cell being read began with a quote
  bool record_open = false;  // something of the current record has been read
  int64_t line = 1;
  int64_t quote_line = 0;
  auto malformed = [origin](const std::string& problem) {
    Raise(kErrInvalidArgument, fmt::format("{}: {}", origin, problem));
  };
  auto end_cell = [&] {
    record.cells.push_back(std::move(cell));
    cell.clear();
    was_quoted = false;
  };
  auto end_record = [&] {
    // A blank line is no record (a lone empty cell that was never quoted).
    if (record_open) {
      end_cell();
      records.push_back(std::move(record));
    }
    record = CsvRecord{};
    cell.clear();
    was_quoted = false;
    record_open = false;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((i & 0xFFFF) == 0) RaiseIfCancelled(work);
    const char c = text[i];
    if (!record_open) record.line = line;
    if (quoted) {
      if (c == '"') {
        if (i + 1 < text.size() && text[i + 1] == '"') {
          cell += '"';
          ++i;
        } else {
          quoted = false;
        }
      } else {
        if (c == '\n') ++line;
        cell += c;
      }
      continue;
    }
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (c == '\n' || c == '\r') {
      end_record();
      ++line;
      continue;
    }
    record_open = true;
    if (c == ',') {
      end_cell();
    } else if (c == '"' && cell.empty() && !was_quoted) {
      quoted = true;
      was_quoted = true;
      quote_line = line;
    } else if (was_quoted) {
      malformed(fmt::format("line {}: text after the closing quote of a cell", line));
    } else {
      cell += c;
    }
  }
  if (quoted) malformed(fmt::format("line {}: a quote opened here is never closed", quote_line));
  end_record();
  return records;
}

}  // namespace kelda
