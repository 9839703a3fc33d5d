#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// Windows path rules applied to UTF-8 texts. Job paths are kept in their Windows form (what the
// cloud and the cache see) and turned into native paths only when a file is touched.
namespace zelko::plenar::agent::winpath {

bool IsSeparator(char c);

// "C:" of "C:\x", "\\server" of "\\server\share\x"; "" when the text has no root name.
std::string RootName(const std::string& path);

// A root name followed by a separator (or a server prefix). On this build a text led by a single
// "/" is a native absolute path too: that is what environment expansion gives for the known folders.
bool IsAbsolute(const std::string& path);

// Everything before the last separator; "" when there is none.
std::string ParentFolder(const std::string& path);

// The extension of the last component ("" when it has none); text from the first ":" of the
// component on (a stream name) is ignored.
std::string Extension(const std::string& path);

// Whether a name from outside (a job name) stays one folder entry when joined to a folder: not
// empty, no separator, no ":" (drive letters, streams), no "..", no control character.
bool IsPlainName(const std::string& name);

// Every "/" turned into "\".
std::string ToBackslashes(std::string path);

// 64-bit FNV-1a over the UTF-16 form, low byte first, runs of separators after the root name
// hashed once as "\".
uint64_t PathHash(const std::string& path);

// The native path of a Windows path text: a drive root maps to the system root ("C:") or a folder
// of its letter under it (other drives); a leading separator stays the native root.
std::filesystem::path ToNative(const std::string& path);

}  // namespace zelko::plenar::agent::winpath
