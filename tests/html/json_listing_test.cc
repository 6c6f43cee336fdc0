#include "html/json_listing.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace tabulon {
namespace {

std::string Hex(const char* form, int b) {
  char text[8];
  std::snprintf(text, sizeof text, form, b);
  return text;
}

TEST(JsonListingTest, StringEscapesQuotesBackslashAndControlsOnly) {
  for (int b = 0; b < 0x80; ++b) {
    std::string expected;
    switch (b) {
      case '\b':
        expected = "\\b";
        break;
      case '\t':
        expected = "\\t";
        break;
      case '\n':
        expected = "\\n";
        break;
      case '\f':
        expected = "\\f";
        break;
      case '\r':
        expected = "\\r";
        break;
      case '"':
        expected = "\\\"";
        break;
      case '\\':
        expected = "\\\\";
        break;
      default:
        expected = b < 0x20 ? Hex("\\u%04X", b) : std::string(1, char(b));
    }
    std::string out;
    AppendJsonString(std::string(1, static_cast<char>(b)), &out);
    EXPECT_EQ(out, "\"" + expected + "\"") << "byte " << b;
    // Inside longer text too, wherever it falls in a word of eight bytes,
    // among ASCII and among the bytes of Cyrillic letters.
    for (const std::string& pad : {std::string(19, 'a'),
                                  std::string("\xD0\x81\xD0\xB6\xD0\xB9") +
                                      "bcdefghijklmn"}) {
      for (const std::size_t at : {0, 1, 7, 8, 9, 15, 16, 19}) {
        const std::string in =
            pad.substr(0, at) + static_cast<char>(b) + pad.substr(at);
        out.clear();
        AppendJsonString(in, &out);
        EXPECT_EQ(out, "\"" + pad.substr(0, at) + expected + pad.substr(at) +
                           "\"")
            << "byte " << b << " at " << at;
      }
    }
  }
  const struct {
    std::string in, out;
  } kCases[] = {
      {"", "\"\""},
      {"a/b <&> 'q'", "\"a/b <&> 'q'\""},
      {"\xD0\x81\xD0\xB6 \xE6\xBC\xA2 \xF0\x9F\x98\x80",
       "\"\xD0\x81\xD0\xB6 \xE6\xBC\xA2 \xF0\x9F\x98\x80\""},
      {"\"x\"\\\x1F\x7F", "\"\\\"x\\\"\\\\\\u001F\x7F\""},
  };
  for (const auto& c : kCases) {
    std::string out = "=";
    AppendJsonString(c.in, &out);
    EXPECT_EQ(out, "=" + c.out);
  }
}

TEST(JsonListingTest, HrefNameEncodesWhatALinkCannotCarry) {
  const std::string kEncoded = "%#?:\\";
  for (int b = 0; b < 0x100; ++b) {
    const bool encoded =
        b < 0x20 || b >= 0x7F ||
        kEncoded.find(static_cast<char>(b)) != std::string::npos;
    std::string out;
    AppendHrefName(std::string(1, static_cast<char>(b)), kLinkInside, &out);
    EXPECT_EQ(out, encoded ? Hex("%%%02X", b) : std::string(1, char(b)))
        << "byte " << b;
  }
  const struct {
    std::string name;
    unsigned edges;
    std::string href;
  } kCases[] = {
      {" a b ", kLinkInside, " a b "},
      {" a b ", kLinkBegins, "%20a b "},
      {" a b ", kLinkEnds, " a b%20"},
      {" ", kLinkBegins | kLinkEnds, "%20"},
      {"  ", kLinkBegins | kLinkEnds, "%20%20"},
      {"\xD0\x81\xD0\xB6.txt", kLinkInside, "%D0%81%D0%B6.txt"},
      {"caf\xE9 &\"<>'.txt", kLinkInside, "caf%E9 &\"<>'.txt"},
      {"javascript:alert(1)", kLinkBegins, "javascript%3Aalert(1)"},
  };
  for (const auto& c : kCases) {
    std::string out;
    AppendHrefName(c.name, c.edges, &out);
    EXPECT_EQ(out, c.href) << c.name << " " << c.edges;
  }
}

TEST(JsonListingTest, HrefUrlIsAsTypedSaveBackslashesAndBytesAbove7F) {
  const struct {
    std::string url, href;
  } kCases[] = {
      {"", ""},
      {"http://h/a b/%41#?:", "http://h/a b/%41#?:"},
      {"\\\\server\\share\\", "//server/share/"},
      {"http://h/\xD0\xBF/", "http://h/%D0%BF/"},
  };
  for (const auto& c : kCases) {
    std::string out;
    AppendHrefUrl(c.url, &out);
    EXPECT_EQ(out, c.href) << c.url;
  }
}

TEST(JsonListingTest, TimesAreUtcRfc3339WithSeconds) {
  const struct {
    std::int64_t seconds;
    const char* text;
  } kCases[] = {
      {0, "1970-01-01T00:00:00Z"},
      {-1, "1969-12-31T23:59:59Z"},
      {1796739663, "2026-12-08T14:21:03Z"},
      {951827696, "2000-02-29T12:34:56Z"},
      {4107542399, "2100-02-28T23:59:59Z"},
      {4107542400, "2100-03-01T00:00:00Z"},
      {-11644473600, "1601-01-01T00:00:00Z"},
      {253402300799, "9999-12-31T23:59:59Z"},
      // Outside four-digit years: held to the ends.
      {253402300800, "9999-12-31T23:59:59Z"},
      {INT64_MAX, "9999-12-31T23:59:59Z"},
      {-62167219200, "0000-01-01T00:00:00Z"},
      {INT64_MIN, "0000-01-01T00:00:00Z"},
  };
  for (const auto& c : kCases) {
    std::string out;
    AppendUtcTime(c.seconds, &out);
    EXPECT_EQ(out, c.text) << c.seconds;
  }
}

TEST(JsonListingTest, SizeAndTimeOfAnEntryAreWrittenWhole) {
  RowContext row;
  row.RunMode = mTree;
  const JsonContext json{"", ""};
  const struct {
    std::int64_t size;
    std::int64_t modified;
    const char* fields;
  } kCases[] = {
      {0, 1234567890,
       "\"size\": 0, \"modified\": \"2009-02-13T23:31:30Z\""},
      {INT64_MAX, 987654321,
       "\"size\": 9223372036854775807, "
       "\"modified\": \"2001-04-19T04:25:21Z\""},
      {4294967296, 4102444799,
       "\"size\": 4294967296, \"modified\": \"2099-12-31T23:59:59Z\""},
  };
  for (const auto& c : kCases) {
    SearchEntry file;
    file.Name = "f";
    file.Size = c.size;
    file.Modified = c.modified;
    std::string out;
    ASSERT_TRUE(WriteJsonEntry(file, row, json, std::nullopt, tAlt, &out));
    EXPECT_EQ(out, std::string(",\n    {\"name\": \"f\", \"path\": \"f\", "
                               "\"href\": \"f\", \"type\": \"file\", ") +
                       c.fields + ", \"description\": null}")
        << c.size;
  }
}

TEST(JsonListingTest, EntryFieldsAreDecodedEscapedAndEncodedOnce) {
  RowContext row;
  row.RunMode = mTree;
  // The directory as it comes, escaped; the prefix as typed, a quote in it.
  const JsonContext json{"d\\\"/", "http://h/\"/"};
  const std::string kU1 = "\\u0001";
  std::string many_u1, many_p1, many_u2;
  for (int i = 0; i < 40; ++i) many_u1 += kU1, many_p1 += "%01";
  for (int i = 0; i < 100; ++i) many_u2 += "\\u0002";
  const struct {
    std::string name;
    bool directory;
    std::optional<std::string> description;
    TCode code;
    std::string name_text, href, description_json;
  } kCases[] = {
      // Escapes on both sides of a word of eight bytes.
      {"0123456\"\x1F", false, std::nullopt, tAlt, "0123456\\\"\\u001F",
       "http://h/\\\"/0123456\\\"%1F", "null"},
      {"abcdefgh\\ijklmno\xD0\xB6p", false, "", tAlt,
       "abcdefgh\\\\ijklmno\xD0\xB6p", "http://h/\\\"/abcdefgh%5Cijklmno%D0%B6p",
       "\"\""},
      // Ё in UTF-8, then a byte that is not (866's щ); KOI8-R Ё and a frame.
      {"\xD0\x81\xE9 x", false, "\xB3\t\"\x80", tKoi, "\xD0\x81\xD1\x89 x",
       "http://h/\\\"/%D0%81%E9 x", "\"\xD0\x81\\t\\\"\xE2\x94\x80\""},
      // Every byte escaped: the most an entry can take.
      {std::string(40, '\x01'), false,
       std::string(100, '\x02') + "\x98\\", tWin, many_u1,
       "http://h/\\\"/" + many_p1, "\"" + many_u2 + "\xC2\x98\\\\\""},
      {" a\"b", true, "\xB0\xDB", tAlt, " a\\\"b", "%20a\\\"b/FILES.HTM",
       "\"\xE2\x96\x91\xE2\x96\x88\""},
  };
  for (const auto& c : kCases) {
    SearchEntry entry;
    entry.Name = c.name;
    if (c.directory) entry.Attr = kAttrDirectory;
    std::optional<std::string_view> description;
    if (c.description) description = *c.description;
    std::string out = "=";
    ASSERT_TRUE(WriteJsonEntry(entry, row, json, description, c.code, &out));
    for (const std::string& field :
         {"\"name\": \"" + c.name_text + "\"",
          "\"path\": \"d\\\"/" + c.name_text + "\"",
          "\"href\": \"" + c.href + "\"",
          "\"description\": " + c.description_json + "}"}) {
      EXPECT_NE(out.find(field), std::string::npos)
          << field << "\nnot in\n" << out;
    }
    EXPECT_EQ(out.substr(0, 2), "=,");
  }
}

TEST(JsonListingTest, NativeTextTakesBytesThatAreNotUtf8As866) {
  const struct {
    std::string native, utf8;
  } kCases[] = {
      {"caf\xE9", "caf\xD1\x89"},                // щ
      {"\xFF", "\xC2\xA0"},                      // no-break space
      {"\xB0\xDB", "\xE2\x96\x91\xE2\x96\x88"},  // ░█
      {"\xD0\x81\xD0", "\xD0\x81\xE2\x95\xA8"},  // Ё, then a lone lead byte ╨
      {"\xED\xA0\x80", "\xD1\x8D\xD0\xB0\xD0\x90"},  // a surrogate's bytes
  };
  for (const auto& c : kCases) {
    std::string out;
    AppendNativeUtf8(c.native, &out);
    EXPECT_EQ(out, c.utf8);
  }
}

TEST(JsonListingTest, DocumentJoinsEntriesMadeApart) {
  RowContext row;
  row.RunMode = mTree;
  const JsonContext json{"d/", "http://h/d/"};
  SearchEntry file;
  file.Name = "a\"b.txt";
  file.Size = 5;
  file.Modified = 60;
  SearchEntry dir;
  dir.Name = " sub";
  dir.Attr = kAttrDirectory;
  dir.Modified = -60;
  std::vector<std::string> pieces(3);
  EXPECT_TRUE(WriteJsonEntry(file, row, json, "\xB3\x98", tWin, &pieces[0]));
  EXPECT_TRUE(WriteJsonEntry(dir, row, json, std::nullopt, tAlt, &pieces[2]));
  std::string out;
  WriteJsonHead("9.8", "d", &out);
  bool first = true;
  for (const std::string& piece : pieces) {
    out.append(JsonEntriesAfter(piece, &first));
  }
  WriteJsonFoot({1, 5}, !first, &out);
  EXPECT_EQ(out,
            "{\n"
            "  \"generator\": \"Tabulon 9.8\",\n"
            "  \"directory\": \"d\",\n"
            "  \"entries\": [\n"
            "    {\"name\": \"a\\\"b.txt\", \"path\": \"d/a\\\"b.txt\", "
            "\"href\": \"http://h/d/a\\\"b.txt\", \"type\": \"file\", "
            "\"size\": 5, \"modified\": \"1970-01-01T00:01:00Z\", "
            "\"description\": \"\xD1\x96\xC2\x98\"},\n"
            "    {\"name\": \" sub\", \"path\": \"d/ sub\", "
            "\"href\": \"%20sub/FILES.HTM\", \"type\": \"directory\", "
            "\"size\": null, \"modified\": \"1969-12-31T23:59:00Z\", "
            "\"description\": null}\n"
            "  ],\n"
            "  \"files\": 1,\n"
            "  \"bytes\": 5\n"
            "}\n");

  out.clear();
  first = true;
  WriteJsonHead("9.8", "", &out);
  out.append(JsonEntriesAfter("", &first));
  WriteJsonFoot({0, 0}, !first, &out);
  EXPECT_EQ(out,
            "{\n  \"generator\": \"Tabulon 9.8\",\n  \"directory\": \"\",\n"
            "  \"entries\": [],\n  \"files\": 0,\n  \"bytes\": 0\n}\n");
}

}  // namespace
}  // namespace tabulon
