// The files quillmar-soup keeps in the SOUP directory beside the packets.
#pragma once

namespace quillmar {

// Held (advisory lock) for the whole run of quillmar-soup; the gateway's
// IMPORT and EXPORT take the same lock, so that none of them reads a file
// another one is rewriting. It waits LockWait seconds for another holder.
inline constexpr const char* kSoupDirLock = "QUILLMAR.LCK";
// What a finished collect still has to do: the areas it added, the Maildir
// messages to remove and the article numbers to remember.
inline constexpr const char* kCollectJournal = "COLLECT.JNL";
// The last article taken, per server and group: "server TAB group TAB number".
inline constexpr const char* kHighWaterFile = "COLLECT.DAT";
// The replies the MTA or the news server accepted or refused.
inline constexpr const char* kDeliverLedger = "DELIVER.JNL";
// The Message-IDs collect has taken, with the time of each (an LMDB file,
// and its lock file of the same name and "-lock"); a damaged one is set
// aside under kHistoryAside and a new one started.
inline constexpr const char* kHistoryFile = "HISTORY.MDB";
inline constexpr const char* kHistoryAside = "HISTORY.BAD";
// The Maildir messages collect passes while they stay as they are: taken
// into a packet but not removable, or not readable (reported once):
// "taken|unread TAB identity TAB path".
inline constexpr const char* kMaildirRegister = "MAILDIR.KEP";
// The prefix of the message files collect writes ("QS" and four hex digits).
inline constexpr const char* kCollectPrefix = "QS";

}  // namespace quillmar
