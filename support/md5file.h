#pragma once

// MD5 digest (RFC 1321) of a file's bytes as 32 lowercase hexadecimal digits, or null when the
// file cannot be opened. The text is a new[] allocation: release it with delete[]. A read error
// ends the digest early, so the digest covers what was read.
char* MD5File(const char* path);

// True when the file can be opened for reading. An empty (or null) name is a programming error
// and raises CByteError.
bool FileExist(const char* filename);
