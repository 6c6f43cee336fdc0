#ifndef TABULON_DRIVER_EXCLUSION_H_
#define TABULON_DRIVER_EXCLUSION_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"

namespace tabulon {

// The patterns of --exclude, matched against whole names, or against whole
// paths relative to the start directory for a pattern that holds "/".
//   *      any run of characters, none included, but "/"
//   **     in a pattern with "/", any run of characters, "/" included; as a
//          whole component ("**/" first, "/**/" inside) also none, so that
//          "**/cache" takes a top "cache" and "a/**/b" takes "a/b"
//   ?      one character but "/" (not one byte; a character outside the BMP
//          is one)
//   [...]  one character but "/" of a set: single characters and ranges
//          a-z; "!" or "^" first negates; "]" first, and "-" first or last,
//          stand for themselves
// Every other character stands for itself; there is no escape character.
// Letter case is ignored as the name order ignores it: pattern and name are
// compared character by character after the uppercase mapping (UpperOf), and
// a range holds the characters whose mapping lies between its ends' mappings,
// so [а-я] takes Ж and ж, and [a-z] takes neither "_" nor "[". A byte that is
// not part of valid UTF-8 is its code page 866 character, in names and
// patterns alike.
class Exclusions {
 public:
  // Adds `pattern` when it is well formed. Else a failure "bad pattern" at
  // `pattern` with the reason it is refused (an empty pattern, a "[" without
  // "]", a range that ends before it starts), and nothing is added.
  Status Add(std::string_view pattern);

  // No pattern was added.
  bool empty() const { return patterns_.empty(); }
  // Some pattern holds "/", so Excludes needs the relative directory.
  bool NeedsPath() const { return needs_path_; }

  // Whether the entry `name` in the directory `relative_dir` is excluded.
  // relative_dir is the directory's path relative to the start directory,
  // "/" between components and after the last, empty for the start
  // directory itself. Safe to call from several threads at once.
  bool Excludes(std::string_view name, std::string_view relative_dir) const;

 private:
  struct Token {
    // kDeep: "**"; kDeepDirs: "**/" as a whole component, followed by its
    // "/" token, the two together also matching nothing.
    enum Kind : std::uint8_t {
      kCharacter,
      kOne,
      kRun,
      kDeep,
      kDeepDirs,
      kSet
    } kind;
    bool negated;
    char32_t character;   // kCharacter, after the uppercase mapping
    std::uint32_t first;  // kSet: its ranges in ranges_
    std::uint32_t count;
  };
  struct Range {
    char32_t low;  // both after the uppercase mapping
    char32_t high;
  };
  struct Pattern {
    std::vector<Token> tokens;
    bool path = false;      // holds "/"
    bool deep = false;      // holds "**" that takes "/"
    std::size_t fixed = 0;  // tokens that take one character each
    std::size_t tail = 0;   // of those, the ones after the last run
  };

  bool MatchesOne(const Token& token, char32_t c) const;
  // `text`: the n characters of a name or path, raised.
  bool Matches(const Pattern& pattern, const char32_t* text,
               std::size_t n) const;
  bool MatchesDeep(const Pattern& pattern, const char32_t* text,
                   std::size_t n) const;
  bool InSet(const Token& set, char32_t c) const;

  std::vector<Pattern> patterns_;
  std::vector<Range> ranges_;
  bool needs_path_ = false;
};

}  // namespace tabulon

#endif  // TABULON_DRIVER_EXCLUSION_H_
