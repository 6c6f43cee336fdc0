// A FILES.BBS of any bytes, read in blocks of any size: the same records as
// a whole read and as the plain line-by-line reader (line ends as the first
// one says, lines and records cut at 4,096 bytes), records of 1 to 4,096
// bytes, and a guard that refuses at some point keeps what came before.
// Each input is also tried stretched, so that its lines pass the cut.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/utf8.h"
#include "descriptions/description_list.h"
#include "descriptions/files_bbs.h"
#include "descriptions/reference_reader.h"
#include "fuzz_check.h"
#include "support/string_source.h"

namespace {

std::vector<std::string> RecordsOf(const tabulon::DescriptionList& list) {
  std::vector<std::string> records;
  for (int i = 0; i < list.Count(); ++i) records.emplace_back(list.At(i));
  return records;
}

// Whether the bytes before the first Ctrl-Z are strict UTF-8, and whether
// one of them begins a character beyond ASCII.
void Utf8Facts(std::string_view bytes, bool* valid, bool* beyond_ascii) {
  bytes = bytes.substr(0, bytes.find('\x1A'));
  *valid = true;
  *beyond_ascii = false;
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    char32_t c;
    if (!tabulon::DecodeUtf8(bytes, &pos, &c)) {
      *valid = false;
      return;
    }
    *beyond_ascii = *beyond_ascii || c >= 0x80;
  }
}

void CheckFile(std::string_view input, std::uint8_t first) {
  const std::size_t size = input.size();

  tabulon::DescriptionList list;
  tabulon::StringSource whole(input);
  FUZZ_CHECK(tabulon::LoadFilesBbs(whole, &list).ok());
  const std::vector<std::string> records = RecordsOf(list);
  for (const std::string& record : records) {
    FUZZ_CHECK(!record.empty() && record.size() <= 4096);
    FUZZ_CHECK(record.find('\n') == std::string::npos);
    FUZZ_CHECK(record.find('\x1A') == std::string::npos);
  }

  // Blocks of any size give the same.
  const std::size_t block = size == 0 ? 1 : 1 + first % 97;
  tabulon::DescriptionList blocky;
  tabulon::StringSource pieces(input, block);
  FUZZ_CHECK(tabulon::LoadFilesBbs(pieces, &blocky).ok());
  FUZZ_CHECK(RecordsOf(blocky) == records);
  FUZZ_CHECK(blocky.Code() == list.Code());

  // Without a UTF-16 mark, the plain reader agrees, and UTF-8 is decided by
  // the strict decoder.
  const bool utf16 =
      input.starts_with("\xFF\xFE") || input.starts_with("\xFE\xFF");
  if (!utf16) {
    const bool mark = input.starts_with("\xEF\xBB\xBF");
    const std::string_view text = mark ? input.substr(3) : input;
    bool valid = false;
    bool beyond_ascii = false;
    Utf8Facts(text, &valid, &beyond_ascii);
    const bool utf8 = valid && (beyond_ascii || mark);
    FUZZ_CHECK((list.Code() == tabulon::tUtf8) == utf8);
    FUZZ_CHECK(tabulon::ReferenceRecords(text, utf8) == records);
  } else {
    FUZZ_CHECK(list.Code() == tabulon::tUtf8);
  }

  // A guard that refuses at some point keeps exactly what came before.
  const std::uint64_t budget = size == 0 ? 0 : first * 64u;
  std::uint64_t asked = 0;
  tabulon::DescriptionList guarded(
      [&] { return asked++ < 2 ? 8192 + budget : std::uint64_t{0}; });
  tabulon::StringSource again(input);
  FUZZ_CHECK(tabulon::LoadFilesBbs(again, &guarded).ok());
  FUZZ_CHECK(guarded.Count() <= list.Count());
  for (int i = 0; i < guarded.Count(); ++i)
    FUZZ_CHECK(guarded.At(i) == list.At(i));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::uint8_t first = size == 0 ? 0 : data[0];
  CheckFile(input, first);
  const std::string stretched = Stretch(input);
  if (stretched.size() != input.size()) CheckFile(stretched, first);
  return 0;
}
