#pragma once
// The expression engine: a script of assignments followed by one final arithmetic or boolean
// expression, evaluated in single-precision floats and booleans over named variables.
//
//   ExpDriver drv;                        // variables one=1, two=2, pH=7, ORP=100
//   float v = drv.parseStrFloat("x = 3 x * x");   // 9; x stays 3
//   bool b = drv.parseStrBool("one < two");       // true
//
// Errors go to the standard error stream as "<location>: <message>" and leave `result` as it was.
// The scanner is process-wide: all drivers share one lock, so scripts run one at a time.
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <variant>

#include "expression/exp_location.h"

// Value of a variable or of a script: alternatives 0 float, 1 bool, 2 int (int only via setVar).
using ExpValue = std::variant<float, bool, int>;

class ExpDriver {
public:
    static constexpr const char* DEFAULT_SCRATCH_FILE = "/dev/shm/tmp.script";

    // Results of parse() (and of lastStatus() after parseStr()).
    enum Status : int {
        PARSE_OK = 0,             // script accepted, `result` updated
        PARSE_SYNTAX_ERROR = 1,   // scanner or grammar error (message on stderr)
        PARSE_NO_MEMORY = 2,      // parser stack or memory exhausted
        PARSE_CANNOT_OPEN = 3,    // script file cannot be opened ("cannot open ..." on stderr)
        PARSE_SCANNER_FAILED = 4, // the scanner could not read its input (message on stderr)
        PARSE_SCRATCH_FAILED = 5, // parseStr could not write its scratch file; nothing parsed
    };

    // scratchFile: where parseStr writes the script text before parsing it.
    explicit ExpDriver(std::string scratchFile = DEFAULT_SCRATCH_FILE);
    ExpDriver(const ExpDriver&) = delete;
    ExpDriver& operator=(const ExpDriver&) = delete;

    // Sets a variable, creating it if absent.
    void setVar(const std::string& name, ExpValue value);
    // Copy of a variable; false when it does not exist.
    bool getVar(const std::string& name, ExpValue* value) const;

    // Parses a script file ("" or "-" = standard input). Returns a Status. A wrong-alternative
    // variable read throws std::bad_variant_access out of here (input closed, lock released).
    int parse(const std::string& fileName);
    // Writes text to the scratch file, parses it and returns `result` (the previous one when
    // the script fails; lastStatus() tells).
    ExpValue parseStr(const std::string& text);
    // parseStr, then that alternative; std::bad_variant_access when the result is another one.
    float parseStrFloat(const std::string& text);
    bool parseStrBool(const std::string& text);

    int lastStatus() const;
    ExpValue lastResult() const;
    const std::string& scratchFile() const { return scratchFile_; }

    // The grammar's actions (called under the engine lock while parsing).
    float floatVar(const std::string& name) const;  // 0 when absent (not created)
    bool boolVar(const std::string& name) const;    // false when absent (not created)

    // Input of the scanner, for parse(); the engine lock must be held. scan_begin returns false
    // (with the "cannot open" line on stderr) when the file cannot be opened.
    bool scan_begin();
    void scan_end();

    std::string file;           // name of the script being parsed
    yy::location location;      // current source range
    ExpValue result;            // value of the last accepted script (float 0 at first)
    std::map<std::string, ExpValue> variables;
    bool traceParsing = false;  // parser trace on stderr
    bool traceScanning = false; // scanner trace on stderr

    // The process-wide lock of the scanner (recursive: actions set variables while it is held).
    static std::recursive_mutex& engineMutex();

private:
    int parseLocked(const std::string& fileName);

    std::string scratchFile_;
    int lastStatus_ = PARSE_OK;
    std::FILE* input_ = nullptr;  // the open script (null for standard input)
};
