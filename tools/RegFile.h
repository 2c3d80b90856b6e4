#pragma once

// .reg files: writing the "Windows Registry Editor Version 5.00" format
// (UTF-16LE with byte-order mark, CRLF) and reading it and "REGEDIT4" (8-bit:
// UTF-8 where the whole file is valid UTF-8, otherwise Windows-1252).
// Plain functions over bytes, so the reader can be fed anything.

#include <cstddef>
#include <string>
#include <vector>

#include "settings/RegStore.h"

namespace regfile {

// Splits "HKEY_CURRENT_USER\Software\X" (or "HKCU\Software\X") into a root and
// the path below it. Returns false for an unknown root.
bool SplitKeyName(const std::string& name, HKEY& root, std::string& path);
// "HKEY_CURRENT_USER" and friends; "" for anything else.
std::string RootName(HKEY root);

struct Value {
    std::string name;
    DWORD type = 0;
    std::vector<BYTE> data;
};

struct Key {
    std::string name;  // full name, root included
    std::vector<Value> values;
};

// Why a key name (or a part of one) or a value name cannot be a name: "" when
// it can. Names are UTF-8 text without control characters (C0, DEL, C1), so
// that every command takes the same names, a file carries each one on its line
// and reads it back, and a terminal shows it as it is.
std::string NameProblem(const std::string& name);

// The largest file the import reads. The program's own settings, ten short
// texts, export to about 2 KiB, and the largest value one `add` can write (a
// command-line argument is at most 128 KiB) exports to less than 2 MiB: 4 MiB is
// generous and still reads and parses in a moment. A store can grow past what
// one file may hold (many imports, or deep keys, whose full names each key
// line repeats), so the export refuses a file larger than this instead.
inline constexpr std::size_t kMaxFileSize = 4u << 20;

// The whole file, byte-order mark included: valid UTF-16 whatever the store
// holds (string data that is not UTF-8 goes as hex, its stray bytes as
// U+DC80..U+DCFF, which the reader turns back into the same bytes). Fails,
// with a reason, for a name NameProblem refuses and for a file larger than
// kMaxFileSize. `shown` renders names inside the reason.
bool Format(const std::vector<Key>& keys, std::string& out, std::string& error,
            std::string (*shown)(const std::string&) = nullptr);

// Why a [-ROOT] line or a delete of a root is refused.
inline constexpr const char* kRootNotDeletable = "a root key cannot be deleted";

// How many levels below its root a path ("Software\X": 2) names.
std::size_t KeyDepth(const std::string& path);
// Why a key deeper than the store allows is refused.
inline constexpr const char* kKeyTooDeep = "the key is more than 512 levels deep";
static_assert(kMaxKeyDepth == 512, "kKeyTooDeep names the limit");

struct ParseResult {
    bool ok = false;
    int line = 0;  // where the error is, 1-based
    std::string message;
    std::vector<RegBatchOp> ops;
};

// Reads a whole file into changes to apply; stops at the first error. 8-bit
// text that is not all valid UTF-8 is read in `codePage`, a name iconv knows
// ("CP1251", "CP932"), or in Windows-1252 when none is given.
ParseResult Parse(const std::string& bytes, const std::string& codePage = {});

// Whether Parse can read text in the code page.
bool CodePageKnown(const std::string& codePage);

// Text conversions used for string data and names. Bytes that are not UTF-8
// travel as U+DC80..U+DCFF and come back as the same bytes.
std::u16string Utf8ToUtf16(const std::string& s);
bool Utf16ToUtf8(const std::u16string& s, std::string& out);

// 8-bit text in the Western Windows code page, as UTF-8.
std::string Windows1252ToUtf8(const std::string& s);

}  // namespace regfile
