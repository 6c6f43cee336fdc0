// A description file of any bytes: the reader always moves on, and the
// loader keeps records of 1 to 255 bytes in file order.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "descriptions/description_file.h"
#include "descriptions/description_list.h"
#include "descriptions/loader.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t readable = std::min(input.find('\x1A'), input.size());

  tabulon::DescriptionFile file(input);
  std::string line;
  std::size_t lines = 0;
  while (!file.AtEnd()) {
    const std::size_t before = file.Position();
    file.ReadLine(&line);
    FUZZ_CHECK(file.Position() > before && file.Position() <= readable);
    FUZZ_CHECK(line.size() <= tabulon::DescriptionFile::kMaxLine);
    FUZZ_CHECK(line.find('\n') == std::string::npos &&
               line.find('\r') == std::string::npos);
    ++lines;
  }
  FUZZ_CHECK(lines <= readable);

  // Every indent: the record reader leaves the next line unread and never
  // takes a line twice.
  for (int indent = 1; indent <= 3; ++indent) {
    tabulon::DescriptionFile records(input);
    while (!records.AtEnd()) {
      const std::size_t before = records.Position();
      const std::string record = tabulon::ReadDescriptionRecord(&records, indent);
      FUZZ_CHECK(records.Position() > before);
      FUZZ_CHECK(!record.empty() && record.size() <= 255);
    }
  }

  tabulon::DescriptionList list;
  tabulon::LoadDescriptions(input, &list);
  FUZZ_CHECK(static_cast<std::size_t>(list.Count()) <= lines);
  for (int i = 0; i < list.Count(); ++i) {
    const std::string_view record = list.At(i);
    FUZZ_CHECK(!record.empty() && record.size() <= 255);
    FUZZ_CHECK(record.find('\n') == std::string_view::npos);
    FUZZ_CHECK(record.find('\x1A') == std::string_view::npos);
  }

  // A guard that refuses at some point keeps exactly what came before.
  const std::uint64_t budget = size == 0 ? 0 : data[0] * 64u;
  std::uint64_t asked = 0;
  tabulon::DescriptionList guarded([&] {
    return asked++ < 2 ? 8192 + budget : std::uint64_t{0};
  });
  tabulon::LoadDescriptions(input, &guarded);
  FUZZ_CHECK(guarded.Count() <= list.Count());
  for (int i = 0; i < guarded.Count(); ++i) FUZZ_CHECK(guarded.At(i) == list.At(i));
  return 0;
}
