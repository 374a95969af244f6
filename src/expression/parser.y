// Grammar of the expression engine: assignments followed by one final expression.
%skeleton "lalr1.cc"
%require "3.8"
%header

%define api.token.raw
%define api.token.constructor
%define api.value.type variant
%define api.location.type {yy::location}
%define parse.assert

%code requires {
#include <string>
#include "expression/exp_location.h"
class ExpDriver;
}

%param { ExpDriver& drv }

%locations

%define parse.trace
%define parse.error verbose
%define parse.lac full

%code {
#include <cmath>
#include <variant>
#include "expression/exp_driver.h"
#include "expression/exp_scanner.h"
}

%define api.token.prefix {TOK_}
%token
  ASSIGN  "="
  MINUS   "-"
  PLUS    "+"
  STAR    "*"
  SLASH   "/"
  LPAREN  "("
  RPAREN  ")"
  OR      "||"
  AND     "&&"
  NOT     "!"
  EQ      "=="
  GT      ">"
  GE      ">="
  LT      "<"
  LE      "<="
;
%token <std::string> IDENTIFIER "identifier"
%token <float> NUMBER "number"
%token <bool> BOOL "bool"
%token SIN "sin("
%nterm <float> exp
%nterm <bool> boolexpr

%printer { yyo << $$; } <*>;

// "+" "-" below "*" "/"; "||", "&&", "!" and the comparisons carry no precedence, so their
// shift/reduce conflicts resolve by shifting, and the identifier reduce/reduce conflicts resolve
// to the arithmetic reading (the earlier rule).
%left "+" "-";
%left "*" "/";

%%
%start unit;
unit:
  assignments boolexpr  { drv.result = ExpValue(std::in_place_index<1>, $2); }
| assignments exp       { drv.result = ExpValue(std::in_place_index<0>, $2); }
;

assignments:
  %empty                 {}
| assignments assignment {}
;

assignment:
  "identifier" "=" exp       { drv.setVar($1, ExpValue(std::in_place_index<0>, $3)); }
| "identifier" "=" boolexpr  { drv.setVar($1, ExpValue(std::in_place_index<1>, $3)); }
;

exp:
  "number"
| "identifier"     { $$ = drv.floatVar($1); }
| exp "+" exp      { $$ = $1 + $3; }
| exp "-" exp      { $$ = $1 - $3; }
| exp "*" exp      { $$ = $1 * $3; }
| exp "/" exp      { $$ = $1 / $3; }
| "(" exp ")"      { $$ = $2; }
| "sin(" exp ")"   { $$ = std::sin($2); }
;

boolexpr:
  "bool"
| "identifier"               { $$ = drv.boolVar($1); }
| "(" boolexpr ")"           { $$ = $2; }
| boolexpr "||" boolexpr     { $$ = $1 || $3; }
| boolexpr "&&" boolexpr     { $$ = $1 && $3; }
| "!" boolexpr               { $$ = !$2; }
| exp ">=" exp               { $$ = $1 >= $3; }
| exp ">" exp                { $$ = $1 > $3; }
| exp "<" exp                { $$ = $1 < $3; }
| exp "<=" exp               { $$ = $1 <= $3; }
;
%%

void yy::parser::error(const location_type& l, const std::string& m) {
    std::cerr << l << ": " << m << '\n';
}
