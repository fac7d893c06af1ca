// The check of an LMDB file before LMDB maps it: LMDB trusts the file's
// pages (a page beyond the end of the file is a bus error when touched, and
// a write into a page whose header or nodes are scribbled over moves bytes
// outside the page's copy in memory), so a file is read here first, with
// pread, and held against what LMDB itself writes.
#pragma once

#include <string>

namespace quillmar::platform {

// The return of check_lmdb_file() for a file that is damaged; otherwise 0
// (fine, or missing) or the errno of a failed read.
inline constexpr int kLmdbFileDamaged = -3;

// Checks the LMDB file `path` (`why` says what is wrong): its two meta
// pages, and its size against the last page the newer one names; with
// `whole_tree` also every page of the trees the newer meta page leads to
// (the free pages' and the main one, and the databases named in it): each
// read once, of its kind, its nodes tiling the page as LMDB lays them out,
// every page they name within the file.
int check_lmdb_file(const std::string& path, bool whole_tree, std::string& why);

}  // namespace quillmar::platform
