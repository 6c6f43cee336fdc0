#include "driver/exclusion.h"

#include <algorithm>

#include "common/name_order.h"

namespace tabulon {
namespace {

// A character as patterns compare it: raised as the name order raises its
// units. A character outside the BMP is a surrogate pair there, which has
// no mapping.
char32_t Folded(char32_t c) {
  return c <= 0xFFFF ? UpperOf(static_cast<char16_t>(c)) : c;
}

// The next character of `text` at *pos, raised.
char32_t NextFolded(std::string_view text, std::size_t* pos) {
  const unsigned char b = static_cast<unsigned char>(text[*pos]);
  if (b < 0x80) {
    ++*pos;
    return UpperOf(b);
  }
  return Folded(NameCharacter(text, pos));
}

// A name or path decoded and raised once, whatever the number of patterns
// and of places a run is tried at; on the stack unless it is long.
class FoldedText {
 public:
  void Append(std::string_view text) {
    for (std::size_t pos = 0; pos < text.size();) Add(NextFolded(text, &pos));
  }
  void Append(const FoldedText& text) {
    for (std::size_t i = 0; i < text.size(); ++i) Add(text.data()[i]);
  }
  const char32_t* data() const {
    return size_ <= kSmall ? small_ : large_.data();
  }
  std::size_t size() const { return size_; }

 private:
  static constexpr std::size_t kSmall = 256;
  void Add(char32_t c) {
    if (size_ < kSmall) {
      small_[size_++] = c;
      return;
    }
    if (large_.empty()) large_.assign(small_, small_ + size_);
    large_.push_back(c);
    ++size_;
  }

  char32_t small_[kSmall];
  std::vector<char32_t> large_;
  std::size_t size_ = 0;
};

}  // namespace

Status Exclusions::Add(std::string_view pattern) {
  const auto refused = [pattern](const char* why) {
    return Status::Failed(why).At("bad pattern", std::string(pattern));
  };
  if (pattern.empty()) return refused("empty pattern");
  Pattern compiled;
  compiled.path = pattern.find('/') != std::string_view::npos;
  const std::size_t ranges_before = ranges_.size();
  std::size_t pos = 0;
  while (pos < pattern.size()) {
    const char b = pattern[pos];
    if (b == '*') {
      const std::size_t stars = pos;
      while (pos < pattern.size() && pattern[pos] == '*') ++pos;
      if (compiled.path && pos - stars >= 2) {
        const bool whole = (stars == 0 || pattern[stars - 1] == '/') &&
                           pos < pattern.size() && pattern[pos] == '/';
        compiled.tokens.push_back(
            {whole ? Token::kDeepDirs : Token::kDeep, false, 0, 0, 0});
        compiled.deep = true;
        continue;
      }
      // A run after a run matches nothing more.
      if (compiled.tokens.empty() ||
          compiled.tokens.back().kind != Token::kRun) {
        compiled.tokens.push_back({Token::kRun, false, 0, 0, 0});
      }
      continue;
    }
    if (b == '?') {
      ++pos;
      compiled.tokens.push_back({Token::kOne, false, 0, 0, 0});
      continue;
    }
    if (b != '[') {
      compiled.tokens.push_back(
          {Token::kCharacter, false, NextFolded(pattern, &pos), 0, 0});
      continue;
    }
    std::size_t p = pos + 1;
    Token set{Token::kSet, false, 0, static_cast<std::uint32_t>(ranges_.size()),
              0};
    if (p < pattern.size() && (pattern[p] == '!' || pattern[p] == '^')) {
      set.negated = true;
      ++p;
    }
    bool closed = false;
    for (bool first = true; p < pattern.size(); first = false) {
      if (pattern[p] == ']' && !first) {
        ++p;
        closed = true;
        break;
      }
      const char32_t low = NextFolded(pattern, &p);
      char32_t high = low;
      if (p + 1 < pattern.size() && pattern[p] == '-' &&
          pattern[p + 1] != ']') {
        ++p;
        high = NextFolded(pattern, &p);
        if (high < low) {
          ranges_.resize(ranges_before);
          return refused("a range ends before it starts");
        }
      }
      ranges_.push_back({low, high});
    }
    if (!closed) {
      ranges_.resize(ranges_before);
      return refused("'[' without ']'");
    }
    set.count = static_cast<std::uint32_t>(ranges_.size() - set.first);
    compiled.tokens.push_back(set);
    pos = p;
  }
  for (const Token& token : compiled.tokens) {
    if (token.kind == Token::kRun || token.kind == Token::kDeep ||
        token.kind == Token::kDeepDirs) {
      compiled.tail = 0;
    } else {
      ++compiled.fixed;
      ++compiled.tail;
    }
  }
  needs_path_ = needs_path_ || compiled.path;
  patterns_.push_back(std::move(compiled));
  return Status::Ok();
}

bool Exclusions::InSet(const Token& set, char32_t c) const {
  bool in = false;
  for (std::uint32_t i = set.first; i < set.first + set.count; ++i) {
    if (ranges_[i].low <= c && c <= ranges_[i].high) {
      in = true;
      break;
    }
  }
  return in != set.negated;
}

bool Exclusions::MatchesOne(const Token& token, char32_t c) const {
  switch (token.kind) {
    case Token::kCharacter:
      return c == token.character;
    case Token::kOne:
      return c != '/';
    case Token::kSet:
      return c != '/' && InSet(token, c);
    case Token::kRun:
    case Token::kDeep:
    case Token::kDeepDirs:
      break;
  }
  return false;
}

// Greedy with one point to go back to: on a mismatch, the latest run takes
// one character more. Earlier runs never need to (nor can a run take a "/",
// which only the pattern's own "/" matches), so the time stays within the
// product of the two lengths. The characters after the last run must be the
// text's last ones, which settles most names at once.
bool Exclusions::Matches(const Pattern& pattern, const char32_t* text,
                         std::size_t n) const {
  if (pattern.deep) return MatchesDeep(pattern, text, n);
  const std::vector<Token>& tokens = pattern.tokens;
  if (n < pattern.fixed) return false;
  if (pattern.tail == tokens.size() && n != pattern.fixed) return false;
  for (std::size_t i = 1; i <= pattern.tail; ++i) {
    if (!MatchesOne(tokens[tokens.size() - i], text[n - i])) return false;
  }
  std::size_t k = 0;
  std::size_t t = 0;
  std::size_t run_k = tokens.size() + 1;  // none yet
  std::size_t run_t = 0;
  for (;;) {
    if (k < tokens.size() && tokens[k].kind == Token::kRun) {
      if (++k == tokens.size()) {  // the rest, but for a "/"
        return std::find(text + t, text + n, U'/') == text + n;
      }
      run_k = k;
      run_t = t;
      continue;
    }
    if (t == n) {
      if (k == tokens.size()) return true;
    } else if (k < tokens.size() && MatchesOne(tokens[k], text[t])) {
      ++t;
      ++k;
      continue;
    }
    if (run_k > tokens.size() || run_t == n || text[run_t] == '/') return false;
    t = ++run_t;
    k = run_k;
  }
}

// Where runs that take "/" and runs that don't meet, an earlier run may
// have to take more: every way is followed at once, one step per character
// of the text, so the time stays within the product of the two lengths.
bool Exclusions::MatchesDeep(const Pattern& pattern, const char32_t* text,
                             std::size_t n) const {
  const std::vector<Token>& tokens = pattern.tokens;
  const std::size_t m = tokens.size();
  // Per token, how the match stands before it: entered at this point of
  // the text, or still inside it (a run that took characters).
  constexpr unsigned char kEntered = 1, kInside = 2;
  std::vector<unsigned char> now(m + 2), next(m + 2);
  const auto close = [&](std::vector<unsigned char>& at) {
    for (std::size_t k = 0; k < m; ++k) {
      if (at[k] == 0 || tokens[k].kind == Token::kCharacter ||
          tokens[k].kind == Token::kOne || tokens[k].kind == Token::kSet) {
        continue;
      }
      at[k + 1] |= kEntered;
      // No components: past its "/" too, but only before taking any.
      if (tokens[k].kind == Token::kDeepDirs && (at[k] & kEntered) != 0) {
        at[k + 2] |= kEntered;
      }
    }
  };
  now[0] = kEntered;
  close(now);
  for (std::size_t t = 0; t < n; ++t) {
    std::fill(next.begin(), next.end(), 0);
    bool any = false;
    for (std::size_t k = 0; k < m; ++k) {
      if (now[k] == 0) continue;
      const Token& token = tokens[k];
      if (token.kind == Token::kDeep || token.kind == Token::kDeepDirs ||
          (token.kind == Token::kRun && text[t] != '/')) {
        next[k] |= kInside;
        any = true;
      } else if (MatchesOne(token, text[t])) {
        next[k + 1] |= kEntered;
        any = true;
      }
    }
    if (!any) return false;
    close(next);
    now.swap(next);
  }
  return now[m] != 0;
}

bool Exclusions::Excludes(std::string_view name,
                          std::string_view relative_dir) const {
  FoldedText folded_name;
  folded_name.Append(name);
  FoldedText folded_path;
  bool have_path = false;
  for (const Pattern& pattern : patterns_) {
    const FoldedText* text = &folded_name;
    if (pattern.path && !relative_dir.empty()) {
      if (!have_path) {
        folded_path.Append(relative_dir);
        folded_path.Append(folded_name);
        have_path = true;
      }
      text = &folded_path;
    }
    if (Matches(pattern, text->data(), text->size())) return true;
  }
  return false;
}

}  // namespace tabulon
