#include "support/json_check.h"

#include <cstdint>

namespace tabulon::testing {
namespace {

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  bool Document(JsonValue* out, std::string* why) {
    const bool ok = Value(out, 0) && (Blanks(), at_ == text_.size());
    if (!ok)
      *why = (fault_.empty() ? "text after the value" : fault_) + " at " +
             std::to_string(at_);
    return ok;
  }

 private:
  bool Fail(const char* fault) {
    if (fault_.empty()) fault_ = fault;
    return false;
  }
  void Blanks() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' ||
                                  text_[at_] == '\n' || text_[at_] == '\r')) {
      ++at_;
    }
  }
  bool Take(char c) {
    Blanks();
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool Word(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return Fail("unknown word");
    at_ += word.size();
    return true;
  }

  bool Value(JsonValue* out, int depth) {
    if (depth > 64) return Fail("too deep");
    Blanks();
    if (at_ == text_.size()) return Fail("no value");
    switch (text_[at_]) {
      case 'n':
        out->kind = JsonValue::kNull;
        return Word("null");
      case 'f':
        out->kind = JsonValue::kFalse;
        return Word("false");
      case 't':
        out->kind = JsonValue::kTrue;
        return Word("true");
      case '"':
        out->kind = JsonValue::kString;
        return String(&out->text);
      case '[': {
        ++at_;
        out->kind = JsonValue::kArray;
        if (Take(']')) return true;
        do {
          out->items.emplace_back();
          if (!Value(&out->items.back(), depth + 1)) return false;
        } while (Take(','));
        return Take(']') || Fail("no ] after an item");
      }
      case '{': {
        ++at_;
        out->kind = JsonValue::kObject;
        if (Take('}')) return true;
        do {
          Blanks();
          std::string key;
          if (at_ >= text_.size() || text_[at_] != '"' || !String(&key)) {
            return Fail("no key");
          }
          if (out->Find(key) != nullptr) return Fail("a key twice");
          if (!Take(':')) return Fail("no : after a key");
          out->keys.push_back(std::move(key));
          out->items.emplace_back();
          if (!Value(&out->items.back(), depth + 1)) return false;
        } while (Take(','));
        return Take('}') || Fail("no } after a member");
      }
      default:
        out->kind = JsonValue::kNumber;
        return Number(&out->text);
    }
  }

  bool Digits() {
    const std::size_t start = at_;
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
    return at_ > start;
  }
  bool Number(std::string* out) {
    const std::size_t start = at_;
    if (at_ < text_.size() && text_[at_] == '-') ++at_;
    if (at_ < text_.size() && text_[at_] == '0') {
      ++at_;
    } else if (!Digits()) {
      return Fail("not a value");
    }
    if (at_ < text_.size() && text_[at_] == '.') {
      ++at_;
      if (!Digits()) return Fail("no digits after the point");
    }
    if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
      ++at_;
      if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) ++at_;
      if (!Digits()) return Fail("no digits in the exponent");
    }
    *out = text_.substr(start, at_ - start);
    return true;
  }

  bool Hex4(std::uint32_t* out) {
    if (at_ + 4 > text_.size()) return Fail("short \\u");
    *out = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[at_++];
      const int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
      if (digit < 0) return Fail("not hex in \\u");
      *out = *out * 16 + static_cast<std::uint32_t>(digit);
    }
    return true;
  }
  static void PutUtf8(std::uint32_t c, std::string* out) {
    if (c < 0x80) {
      out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (c >> 6)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (c >> 12)));
      out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (c >> 18)));
      out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  // One UTF-8 character of the text, shortest form, no surrogates.
  bool Utf8(std::string* out) {
    const auto lead = static_cast<unsigned char>(text_[at_]);
    const int length = lead < 0xC2   ? 0
                       : lead < 0xE0 ? 2
                       : lead < 0xF0 ? 3
                       : lead < 0xF5 ? 4
                                     : 0;
    if (length == 0 || at_ + length > text_.size()) return Fail("not UTF-8");
    std::uint32_t c = lead & (0xFF >> (length + 1));
    for (int i = 1; i < length; ++i) {
      const auto next = static_cast<unsigned char>(text_[at_ + i]);
      if ((next & 0xC0) != 0x80) return Fail("not UTF-8");
      c = c << 6 | (next & 0x3F);
    }
    if ((length == 3 && c < 0x800) || (length == 4 && c < 0x10000) ||
        c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      return Fail("not UTF-8");
    }
    out->append(text_.substr(at_, length));
    at_ += length;
    return true;
  }
  bool String(std::string* out) {
    ++at_;  // the opening quote
    out->clear();
    for (;;) {
      if (at_ >= text_.size()) return Fail("unclosed string");
      const auto c = static_cast<unsigned char>(text_[at_]);
      if (c == '"') {
        ++at_;
        return true;
      }
      if (c < 0x20) return Fail("a control in a string");
      if (c >= 0x80) {
        if (!Utf8(out)) return false;
        continue;
      }
      ++at_;
      if (c != '\\') {
        out->push_back(static_cast<char>(c));
        continue;
      }
      if (at_ >= text_.size()) return Fail("unclosed string");
      const char e = text_[at_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out->push_back(e);
          break;
        case 'b':
          out->push_back('\b');
          break;
        case 'f':
          out->push_back('\f');
          break;
        case 'n':
          out->push_back('\n');
          break;
        case 'r':
          out->push_back('\r');
          break;
        case 't':
          out->push_back('\t');
          break;
        case 'u': {
          std::uint32_t unit;
          if (!Hex4(&unit)) return false;
          if (unit >= 0xDC00 && unit <= 0xDFFF) return Fail("lone surrogate");
          if (unit >= 0xD800 && unit <= 0xDBFF) {
            std::uint32_t low;
            if (text_.substr(at_, 2) != "\\u") return Fail("lone surrogate");
            at_ += 2;
            if (!Hex4(&low)) return false;
            if (low < 0xDC00 || low > 0xDFFF) return Fail("lone surrogate");
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
          }
          PutUtf8(unit, out);
          break;
        }
        default:
          return Fail("unknown escape");
      }
    }
  }

  std::string_view text_;
  std::size_t at_ = 0;
  std::string fault_;
};

// `text` with the page's HTML escapes undone.
std::string Unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool replaced = false;
    for (const auto& [entity, c] :
         {std::pair<std::string_view, char>{"&amp;", '&'},
          {"&lt;", '<'},
          {"&gt;", '>'},
          {"&quot;", '"'}}) {
      if (text.substr(i).starts_with(entity)) {
        out.push_back(c);
        i += entity.size() - 1;
        replaced = true;
        break;
      }
    }
    if (!replaced) out.push_back(text[i]);
  }
  return out;
}

}  // namespace

const JsonValue* JsonValue::Find(std::string_view key) const {
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] == key) return &items[i];
  }
  return nullptr;
}

bool ParseJson(std::string_view text, JsonValue* out, std::string* why) {
  *out = JsonValue();
  return Parser(text).Document(out, why);
}

bool ReadRows(std::string_view page, std::vector<PageRow>* rows) {
  constexpr std::string_view kStart = "<tr><td><a href=\"";
  rows->clear();
  for (std::size_t at = page.find(kStart); at != std::string_view::npos;
       at = page.find(kStart, at)) {
    at += kStart.size();
    PageRow row;
    const std::size_t link_end = page.find("\">", at);
    if (link_end == std::string_view::npos) return false;
    row.link = Unescape(page.substr(at, link_end - at));
    at = link_end + 2;
    const bool directory = page.substr(at).starts_with("<b>");
    if (directory) at += 3;
    const std::size_t name_end =
        page.find(directory ? "</b></a></td>" : "</a></td>", at);
    if (name_end == std::string_view::npos) return false;
    row.name = Unescape(page.substr(at, name_end - at));
    const std::size_t row_end = page.find("</td></tr>", name_end);
    if (row_end == std::string_view::npos) return false;
    const std::size_t cell = page.rfind("<td>", row_end);
    if (cell == std::string_view::npos || cell < name_end) return false;
    const std::string_view text = page.substr(cell + 4, row_end - cell - 4);
    // A described entry's cell starts with a blank, even for an empty text.
    row.described = !text.empty();
    if (row.described) {
      if (text[0] != ' ') return false;
      row.description = Unescape(text.substr(1));
    }
    rows->push_back(std::move(row));
    at = row_end;
  }
  return true;
}

}  // namespace tabulon::testing
