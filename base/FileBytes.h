#pragma once
// The small whole-file and whole-descriptor helpers that every part shares: read to the end (within a
// bound, or a piece at a time), write every byte, read a file whole, make a folder's renames durable, and clear away the
// leftovers of a replacement that was cut short. Standard library and POSIX only.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// Every byte to a descriptor, past short writes and interruptions; false on an error, with errno set
// (ENOSPC when the system wrote nothing).
bool WriteAllTo(int nFd, std::string_view bytes);

// Reads a descriptor to its end, but never more than nLimit + 1 bytes. TooLarge when there are more
// than nLimit; the bytes read so far stay in out.
enum class BoundedRead { Ok, TooLarge, Failed };
BoundedRead ReadAllBounded(int nFd, std::int64_t nLimit, std::string& out);

// Reads a descriptor from where it stands to its end, handing visit each piece as it is read (at most
// 64 KiB), so that a large file is never held whole. False when a read failed (errno set) or when visit
// returned false, which stops the reading.
bool ReadEachPiece(int nFd, const std::function<bool(std::string_view piece)>& visit);

// The whole file at strPath, never through a symbolic link at its name; false with errno set.
bool ReadFileBytes(const std::string& strPath, std::string& bytes);

// Makes the renames in a folder durable. Its failure changes nothing that has been done.
void FlushFolder(const std::string& strFolder);

// Removes what a replacement cut short left in strFolder: only the names isLeftover takes, only
// ordinary files of this user, and only once they are at least nMinAgeMinutes old, so that a save
// still writing into the same folder keeps its own.
void RemoveStaleLeftovers(const std::string& strFolder, const std::function<bool(const std::string&)>& isLeftover,
                          int nMinAgeMinutes);
