#pragma once
// File, document and text helpers of orvane-scada: whole-file reads and atomic writes,
// key=value configuration texts, JSON documents, directory listing, date-time text checks,
// UUID texts, small text and number routines, program execution without a shell, the
// GB18030 <-> UTF-8 conversions and the logger set-up. Static members only; no instances.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "utils/fss.h"

// Outcome of one character-set conversion: the errno of the failure (0 on success) and a
// success flag.
struct ConvResult {
    int32_t err = 0;
    bool ok = false;
};

class Utility {
public:
    Utility() = delete;

    // ---- Logging -------------------------------------------------------------------------
    // Builds the default logger "name": a rotating file sink on path (1 MiB per file, 2 rotated
    // files) and, when console is true, a standard-output sink. level is spdlog's numbering
    // (0 = trace). Throws spdlog's exception when the log file cannot be opened.
    static void configLog(const std::string& path, int level, bool console);

    // ---- Files ---------------------------------------------------------------------------
    // The path names an existing object of any type. Errors other than "not found" throw
    // std::filesystem::filesystem_error.
    static bool exists(const std::string& path);
    // Size in bytes; -3 when the path does not exist; -2 when the size cannot be read.
    static int getFileLength(const std::string& path);
    // First whitespace-delimited word of the file; empty when it cannot be opened.
    static std::string readText(const std::string& path);
    // Whole file into out (at most 1 MiB). True when the file was read completely and is
    // shorter than 1048576 bytes.
    static bool readText(const std::string& path, fss::basic_str<char, 1048576>& out);

    // Replace the whole file atomically (temporary file in the same directory, flush, rename,
    // file-system sync); missing parent directories are created. A failure leaves the old
    // file untouched. The fixed-string overload writes the characters before the first zero.
    static bool writeText(const std::string& path, fss::basic_str<char, 1048576>& text);
    static void writeText(const std::string& path, std::string_view text);
    static void writeText(const std::string& path, const std::string& text);
    static void writeText(const std::string& path, const char* text);  // string literals

    // Whole key=value text; empty when the file cannot be opened.
    static std::string readConfigFile(const std::string& path);
    // Replaces the file atomically like writeText; true when the file was written.
    static bool writeConfigFile(const std::string& path, const std::string& text);
    // Edits the first line that starts with key= (or #key=). comment = true: comments that
    // line out; false: uncomments it and sets its value. False when no such line exists or
    // the value holds CR or LF (text unchanged).
    static bool updateConfig(std::string& text, const std::string& key, const std::string& value, bool comment);

    // The parent directory of the file exists afterwards (created when missing).
    static bool ensureParentDirectoryExists(const std::string& filename);
    // directory + name of every entry (any type) whose extension equals extension, in the
    // order the file system yields them. Empty when the directory does not exist.
    static std::vector<std::string> listFiles(const std::string& directory, const std::string& extension);

    // out = {} then the file's first JSON value. False when the file is missing or malformed.
    static bool loadJson(const std::string& path, nlohmann::ordered_json& out);
    // Writes the document pretty-printed (indent 2, UTF-8 as is, no final newline), replacing
    // the file atomically. Creates no directory. False (file untouched) on any failure,
    // including a string that is not valid UTF-8.
    static bool saveJson(const std::string& path, const nlohmann::ordered_json& document);

    // ---- Damaged files kept aside ----------------------------------------------------------
    // How many copies of one damaged file are kept at most.
    static constexpr int kBadCopies = 10;
    // Name to keep a damaged file under: "<path>.bad" while free, then the first free of
    // "<path>.bad.1" ... "<path>.bad.<kBadCopies - 1>". When all are taken the last one is used
    // again: the earliest copies stay and their number is bounded.
    static std::string badCopyPath(const std::string& path);

    // ---- Text and numbers ----------------------------------------------------------------
    // Appends the pieces of text between delimiters to out; a trailing empty piece is dropped,
    // an empty text gives one empty piece. An empty delimiter appends the whole text.
    static void split(const std::string& text, const std::string& delimiter, std::vector<std::string>& out);
    // Removes the first occurrence of part.
    static void eraseStr(std::string& text, const std::string& part);
    // "0a ff " style dump (two lower-case digits and a blank per byte).
    static std::string hex(const void* data, int length);
    // Printable bytes followed by a blank; other bytes as a blank alone.
    static std::string strChar(const void* data, int length);
    // "%Y-%m-%d %H:%M:%S" that names a real local time.
    static bool isValidTimestamp(const std::string& text);
    // Random (version 4) UUID text, 36 lower-case characters.
    static fss::basic_str<char, 64> getUUID();
    // Linear map of x from [x1, x2] to [y1, y2], clamped to the y range (either direction).
    static float interpolate(float x, float x1, float x2, float y1, float y2);

    // ---- Programs ------------------------------------------------------------------------
    // Runs args[0] (searched in PATH) with args[1..] and no shell; waits for it. Exit status
    // 0..255; 127 when the program cannot be started; -1 for an empty vector, a failed fork or
    // wait, or a child ended by a signal. The child gets default signal dispositions and no
    // inherited descriptors but 0, 1 and 2.
    static int runCommandNoShell(const std::vector<std::string>& args);

    // ---- Character sets (thread-safe) ----------------------------------------------------
    // Convert inLen bytes into out, writing at most outRoom bytes; no terminating zero is
    // written. Failure: {E2BIG | EILSEQ | EINVAL | open errno, false}; what was converted
    // before the failure stays in out.
    static ConvResult gb18030_to_utf8(const char* in, unsigned inLen, char* out, unsigned outRoom);
    static ConvResult utf8_to_gb18030(const char* in, unsigned inLen, char* out, unsigned outRoom);
};
