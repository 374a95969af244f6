#pragma once
// Between the driver, the parser and the generated scanner (not for other modules).
#include <stdexcept>
#include <string>

#include "expression/parser.tab.hh"

class ExpDriver;

// Returns the next token of the current script with its value and location.
yy::parser::symbol_type yylex(ExpDriver& drv);
#define YY_DECL yy::parser::symbol_type yylex(ExpDriver& drv)

// Number token from decimal digits; "integer is out of range: <digits>" above 2147483647.
yy::parser::symbol_type make_NUMBER(const std::string& digits, const yy::parser::location_type& loc);

// A fatal condition of the scanner (its buffer cannot be allocated, its input cannot be read).
// The scanner throws it instead of ending the process; the driver turns it into an error result.
class ScannerFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Scanner state: set the input (null = standard input) and trace flag; release everything.
void expScannerBegin(std::FILE* input, bool trace);
void expScannerEnd();
