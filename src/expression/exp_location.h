#pragma once
// Source positions and ranges of the expression scanner and parser. Lines and columns count
// from 1; a range's end column is one past its last character.
#include <ostream>
#include <string>

namespace yy {

class position {
public:
    using counter_type = int;

    explicit position(const std::string* f = nullptr, counter_type l = 1, counter_type c = 1)
        : filename(f), line(l), column(c) {}

    void initialize(const std::string* fn = nullptr, counter_type l = 1, counter_type c = 1) {
        filename = fn;
        line = l;
        column = c;
    }
    // Advances to the first column of the count-th following line.
    void lines(counter_type count = 1) {
        if (count) {
            column = 1;
            line = add(line, count, 1);
        }
    }
    void columns(counter_type count = 1) { column = add(column, count, 1); }

    const std::string* filename;
    counter_type line;
    counter_type column;

private:
    static counter_type add(counter_type lhs, counter_type rhs, counter_type min) {
        return lhs + rhs < min ? min : lhs + rhs;
    }
};

inline bool operator==(const position& a, const position& b) {
    return a.line == b.line && a.column == b.column &&
           (a.filename == b.filename || (a.filename && b.filename && *a.filename == *b.filename));
}

// "file:line.column", or "line.column" without a file name.
template <typename Char>
std::basic_ostream<Char>& operator<<(std::basic_ostream<Char>& out, const position& pos) {
    if (pos.filename) out << *pos.filename << ':';
    return out << pos.line << '.' << pos.column;
}

class location {
public:
    using counter_type = position::counter_type;

    location(const position& b, const position& e) : begin(b), end(e) {}
    explicit location(const position& p = position()) : begin(p), end(p) {}
    explicit location(const std::string* f, counter_type l = 1, counter_type c = 1) : begin(f, l, c), end(f, l, c) {}

    void initialize(const std::string* f = nullptr, counter_type l = 1, counter_type c = 1) {
        begin.initialize(f, l, c);
        end = begin;
    }
    // Moves the beginning to the end (the start of the next token).
    void step() { begin = end; }
    void columns(counter_type count = 1) { end.columns(count); }
    void lines(counter_type count = 1) { end.lines(count); }

    position begin;
    position end;
};

inline bool operator==(const location& a, const location& b) { return a.begin == b.begin && a.end == b.end; }

// The beginning; then "-line.column" when the end lies on a later line, else "-column" when the
// range spans more than one column. The printed end column is the last character's column.
template <typename Char>
std::basic_ostream<Char>& operator<<(std::basic_ostream<Char>& out, const location& loc) {
    location::counter_type endCol = 0 < loc.end.column ? loc.end.column - 1 : 0;
    out << loc.begin;
    if (loc.end.filename && (!loc.begin.filename || *loc.begin.filename != *loc.end.filename))
        out << '-' << *loc.end.filename << ':' << loc.end.line << '.' << endCol;
    else if (loc.begin.line < loc.end.line)
        out << '-' << loc.end.line << '.' << endCol;
    else if (loc.begin.column < endCol)
        out << '-' << endCol;
    return out;
}

}  // namespace yy
