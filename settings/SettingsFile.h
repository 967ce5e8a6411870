#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace settings {

// The settings file as a person reads and types it, held line by line so that
// a rewrite changes only the entries it sets and keeps every other line
// (comments, unknown keys, blank lines) as it was.
//
// Reading: "[name]" lines open sections; "key=value" lines are entries. Only a
// line whose first non-blank character is ';' or '#' is a comment. Section and
// key names are compared without regard to letter case; the first entry of a
// key in a section of that name wins. The value is everything after the first
// '=': blanks around it are dropped, then one pair of matching double or single
// quotes around it; every other character (backslash, ';', '#', ',', quotes,
// blanks inside) stands for itself. A UTF-8 byte order mark and CRLF line ends
// are read as meant.
//
// Files written by the former store escaped every backslash and quote and
// followed other quoting rules. A file is read by those rules when it has no
// comment line (that store never wrote one; this writer always does), every
// backslash in its values is one of a pair "\\" or "\"", and at least one value
// holds such a pair or starts with "@@". A path typed with a single backslash
// anywhere in the file ("c:\abort.sem", "\\server\share") is thus read as typed.
class SettingsFile {
public:
    explicit SettingsFile(std::string_view bytes = {});

    // Some line is neither blank, a comment, a section nor an entry, or the
    // file holds a zero byte: it is not a settings file as written by hand.
    bool Unparsable() const { return m_unparsable; }
    // Read by the former store's rules (see above).
    bool FormerStyle() const { return m_former; }

    std::optional<std::string> Get(std::string_view section, std::string_view key) const;
    // Sets the first entry of `key` in section `section`, adding it (and the
    // section) when missing. A value with a line end or a zero byte cannot be
    // held on one line: false, and nothing changes.
    bool Set(std::string_view section, std::string_view key, std::string_view value);

    // The file's bytes: each value as typed, quoted only where reading would
    // otherwise change it.
    std::string Text() const;

    static bool CanHold(std::string_view value);
    // The text after '=' that reads back as exactly `value`.
    static std::string Encode(std::string_view value);
    // A value's text after '=', read as typed, or by the former store's rules.
    static std::string Decode(std::string_view raw);
    static std::string DecodeFormer(std::string_view raw);

    static constexpr std::string_view kHeader =
        "; Each value is read as written after '=': backslashes, ';' and '#' in it stand "
        "for themselves; one pair of quotes around it is removed.";

private:
    enum class Kind { Blank, Comment, Section, Entry, Other };
    struct Line {
        std::string text; // without its line end
        Kind kind = Kind::Blank;
        std::string name;        // section or key name, blanks dropped
        std::size_t valueAt = 0; // entries: where the value starts in text
        std::size_t section = 0; // index + 1 of the section line it lies under; 0: none
    };
    static Line Classify(std::string text);
    bool SectionMatches(std::size_t sectionLine, std::string_view section) const;
    // Rewrites every entry in this writer's style, so that the file no longer
    // reads by the former rules, and marks it with the header comment.
    void LeaveFormerStyle();

    std::vector<Line> m_lines;
    bool m_bom = false;
    bool m_crlf = false;
    bool m_unparsable = false;
    bool m_former = false;
};

} // namespace settings
