// Reading, checking and updating the public key directory.
#include "directory.h"

#include "key_driver.h"
#include "platform/platform.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <thread>
#include <unordered_map>

namespace kestrel_provider {
namespace {

// The largest directory file a reader takes; writers never go past it.
constexpr std::int64_t kMaxDirectoryFile = 64 * 1024 * 1024;
// How long an update waits, in all, for the locks other processes hold (the
// directory's, then the versions-seen record's), and a reader for the
// record's.
constexpr std::chrono::milliseconds kLockWait{5000};
using Deadline = std::chrono::steady_clock::time_point;
// On the owner's key device: the versions of the directories seen, and the
// lock of its writers.
constexpr std::string_view kSeenFileName = "kestrel.ver";
constexpr std::string_view kSeenLockName = "kestrel.ver.lck";
// Larger than any record file (1024 directories and 1024 folders).
constexpr std::int64_t kMaxSeenFile = 64 * 1024;

std::chrono::milliseconds Left(Deadline deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return std::max(left, std::chrono::milliseconds{0});
}

// Reads a file; a missing file, or anything but a regular file in its
// place, is no error (`exists` tells).
Code ReadFile(const std::string &path, Bytes &out, bool &exists) {
  exists = platform::FileExists(path);
  if (!exists)
    return code::kOk;
  platform::ReadOnlyFile file(path);
  if (!file.IsOpen())
    return code::kDirectoryRead;
  const std::int64_t size = file.Size();
  if (size < 0)
    return code::kDirectoryRead;
  if (size > kMaxDirectoryFile)
    return code::kDirectoryLength;
  out.resize(static_cast<std::size_t>(size));
  if (file.Read(out.data(), out.size()) != out.size())
    return code::kDirectoryRead;
  return code::kOk;
}

// Writes a file beside its target and renames it over it. A reader holding
// the target open may make the rename fail for a moment on Windows; the old
// file stays whole meanwhile.
bool WriteReplacing(const std::string &path, const Bytes &data) {
  for (int attempt = 0; attempt < 10; ++attempt) {
    if (platform::WriteFileAtomically(path, data.data(), data.size(), true))
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// Removes what writers killed while writing `fileName` (platform::
// WriteFileAtomically names its temporary files "<name>.tmp.<pid>.<n>")
// left in the folder. Called only under the lock that every writer of that
// file holds while its temporary file exists, so none is still being
// written.
void RemoveStaleTemporaries(std::string_view folder, std::string_view fileName) {
  (void)platform::RemoveTemporaryFilesOf(folder, fileName);
}

// The loaded pair of the directory's owner (its encryption key), in
// whichever slot it is.
Code FindOwnerKey(std::string_view owner, LoadedKey &out) {
  auto key = KeyDriver::Instance().EncryptionKeyOfPair(owner);
  if (!key)
    return KeyDriver::Instance().Slots().empty() ? code::kKeyNotFound : code::kOtherSeriesMac;
  out = std::move(*key);
  return code::kOk;
}

// --- versions seen, on the owner's key device ---

// The folder a directory lies in, as the record knows it: a digest of its
// canonical path (links and "." resolved; on Windows, ASCII letter case
// aside), so that the names a folder is given lead to one record.
FolderKey FolderKeyOf(std::string_view directory) {
  namespace fs = std::filesystem;
  const fs::path native(platform::NativePath(directory));
  std::error_code error;
  fs::path canonical = fs::weakly_canonical(native, error);
  if (error)
    canonical = native.lexically_normal();
  std::string text = canonical.generic_string();
  while (text.size() > 1 && text.back() == '/')
    text.pop_back();
#if defined(_WIN32)
  for (char &c : text)
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
#endif
  static constexpr std::string_view kLabel = "kestrel directory folder";
  Bytes input(kLabel.begin(), kLabel.end());
  input.push_back(0);
  input.insert(input.end(), text.begin(), text.end());
  const crypto::Digest256 digest = crypto::Streebog256(ByteView(input.data(), input.size()));
  FolderKey key{};
  std::copy(digest.begin(), digest.begin() + key.size(), key.begin());
  return key;
}

// The record on the owner's device: 0 with the records (none when the pair
// has no device, or the device no record or one that does not check out:
// whoever can change the device can as well delete the file, docs/
// provider.md, threat model), or kDeviceError when something is there that
// cannot be read.
Code ReadSeen(const LoadedKey &owner, SeenVersions &out) {
  out = SeenVersions{owner.id, {}, {}};
  if (owner.device.empty())
    return code::kOk;
  const std::string path = JoinPath(owner.device, kSeenFileName);
  platform::ReadOnlyFile file(path);
  if (!file.IsOpen()) {
    std::error_code error;
    const auto status = std::filesystem::symlink_status(platform::NativePath(path), error);
    return status.type() == std::filesystem::file_type::not_found ? code::kOk : code::kDeviceError;
  }
  const auto identity = file.Identity();
  if (!identity || !identity->regular)
    return code::kDeviceError;
  if (identity->size > kMaxSeenFile)
    return code::kOk; // no record file is this long
  Bytes data(static_cast<std::size_t>(identity->size));
  if (file.Read(data.data(), data.size()) != data.size())
    return code::kDeviceError;
  SeenVersions seen;
  if (ParseSeenVersions(data.data(), data.size(), SeenVersionsKey(owner.privateKey, owner.id),
                        seen) == 0 &&
      seen.owner == owner.id)
    out = std::move(seen);
  return code::kOk;
}

// The highest version recorded of a directory, if any.
std::optional<std::uint64_t> SeenVersion(const SeenVersions &seen,
                                         const DirectoryIdentity &identity) {
  for (const auto &record : seen.records)
    if (record.first == identity)
      return record.second;
  return std::nullopt;
}

// The directory recorded as current in a folder, if any.
const DirectoryIdentity *CurrentIn(const SeenVersions &seen, const FolderKey &folder) {
  for (const auto &record : seen.folders)
    if (record.first == folder)
      return &record.second;
  return nullptr;
}

// Whether the record has a newer version of the directory, or the owner
// gave it up.
bool RolledBack(const SeenVersions &seen, const DirectoryIdentity &identity,
                std::uint64_t version) {
  const auto known = SeenVersion(seen, identity);
  return known && (*known == kRetiredVersion || version < *known);
}

// Moves the record to the front (most recently changed first), adding it if
// it is not there, and keeps the list within `most`.
template <typename List, typename Key, typename Value>
void PutFirst(List &list, const Key &key, const Value &value, std::size_t most) {
  const auto at = std::find_if(list.begin(), list.end(),
                               [&](const auto &record) { return record.first == key; });
  if (at != list.end())
    list.erase(at);
  list.insert(list.begin(), {key, value});
  if (list.size() > most)
    list.resize(most);
}

// Whether the record has `version` of a directory or a newer one, and that
// directory as the one current in `folder`.
bool Knows(const SeenVersions &seen, const DirectoryIdentity &identity, std::uint64_t version,
           const FolderKey &folder) {
  const auto known = SeenVersion(seen, identity);
  const DirectoryIdentity *current = CurrentIn(seen, folder);
  return known && *known >= version && current != nullptr && *current == identity;
}

// Records `version` of a directory (never lowering it) and that it is the
// one current in `folder`; false when the record had both already.
bool Record(SeenVersions &seen, const DirectoryIdentity &identity, std::uint64_t version,
            const FolderKey &folder) {
  if (Knows(seen, identity, version, folder))
    return false;
  const auto known = SeenVersion(seen, identity);
  PutFirst(seen.records, identity, std::max(version, known.value_or(0)), kMaxSeenDirectories);
  PutFirst(seen.folders, folder, identity, kMaxSeenFolders);
  return true;
}

// The record of the owner's device, locked for a change from construction
// to destruction: the lock is waited for until the deadline. A device whose
// lock cannot be made (read-only) is read but keeps its record.
class SeenUpdate {
public:
  SeenUpdate(const LoadedKey &owner, Deadline deadline) : owner_(owner), deadline_(deadline) {}

  // 0, kDirectoryBusy (the lock held elsewhere past the deadline) or
  // kDeviceError (the record cannot be read).
  Code Open() {
    if (owner_.device.empty())
      return ReadSeen(owner_, seen_);
    lock_.emplace(JoinPath(owner_.device, kSeenLockName), Left(deadline_));
    if (!lock_->IsLocked() && lock_->TimedOut())
      return code::kDirectoryBusy;
    if (lock_->IsLocked())
      RemoveStaleTemporaries(owner_.device, kSeenFileName);
    return ReadSeen(owner_, seen_);
  }
  SeenVersions &Seen() { return seen_; }
  bool Writable() const { return lock_ && lock_->IsLocked(); }
  // Writes the record where the device can be written: 0 or kDeviceError.
  Code Write() {
    if (!Writable())
      return code::kOk;
    const Bytes data = BuildSeenVersions(seen_, SeenVersionsKey(owner_.privateKey, owner_.id));
    return WriteReplacing(JoinPath(owner_.device, kSeenFileName), data) ? code::kOk
                                                                        : code::kDeviceError;
  }

private:
  const LoadedKey &owner_;
  Deadline deadline_;
  std::optional<platform::FileLock> lock_;
  SeenVersions seen_;
};

// The first bytes of the directory file now (at most its header).
Bytes CurrentHeader(std::string_view directory) {
  platform::ReadOnlyFile file(JoinPath(directory, kDirectoryFileName));
  Bytes header(kDirectoryHeaderSize);
  header.resize(file.IsOpen() ? file.Read(header.data(), header.size()) : 0);
  return header;
}

// Records what a reader found in a folder (a newer version, another
// directory current there) while the file still has the header it checked.
// A device that is read-only or locked for too long keeps its record: the
// reader has the newest copy in hand either way.
void RecordRead(const LoadedKey &owner, std::string_view directory, const DirectoryFile &file,
                const Bytes &header, const FolderKey &folder) {
  SeenUpdate update(owner, std::chrono::steady_clock::now() + kLockWait);
  if (update.Open() != 0 || RolledBack(update.Seen(), file.identity, file.version) ||
      CurrentHeader(directory) != header)
    return;
  if (Record(update.Seen(), file.identity, file.version, folder))
    (void)update.Write();
}

// Tells the directories this process keeps that this version of an owner's
// directory was checked or written (defined with them below).
void SawVersion(const LoadedKey &owner, const DirectoryIdentity &identity, std::uint64_t version);

// For readers: refuses a directory older than the newest one of the same
// identity the owner's device has seen, or one its owner gave up, and
// records a newer one. `seenFile` is the identity the record file had
// before it was read.
Code CheckNotRolledBack(const LoadedKey &owner, std::string_view directory,
                        const DirectoryFile &file, const Bytes &header,
                        std::optional<platform::FileIdentity> &seenFile) {
  seenFile.reset();
  if (owner.device.empty())
    return code::kOk;
  seenFile = platform::PathIdentity(JoinPath(owner.device, kSeenFileName));
  SeenVersions seen;
  if (Code c = ReadSeen(owner, seen); c != 0)
    return c;
  if (RolledBack(seen, file.identity, file.version))
    return code::kDirectoryRolledBack;
  if (const FolderKey folder = FolderKeyOf(directory);
      !Knows(seen, file.identity, file.version, folder))
    RecordRead(owner, directory, file, header, folder);
  SawVersion(owner, file.identity, file.version);
  return code::kOk;
}

// A file in the folder that names an owner who is not loaded, while a
// loaded owner's device knows the folder or the directory as its own: it
// is that owner's directory with its owner field changed, or a copy of
// such put back. 0 when no loaded owner claims it, else 132 when that
// owner's device has a newer version of it, else 131 (as for every other
// operation on a directory of someone not loaded), or the code of a record
// that cannot be read.
Code ClaimedByALoadedOwner(std::string_view directory, const DirectoryFile &file) {
  std::optional<FolderKey> folder;
  for (const SlotRecord &slot : KeyDriver::Instance().Slots()) {
    const auto owner = KeyDriver::Instance().EncryptionKeyOfPair(slot.num);
    if (!owner || owner->device.empty())
      continue;
    SeenVersions seen;
    if (Code c = ReadSeen(*owner, seen); c != 0)
      return c;
    if (!folder)
      folder = FolderKeyOf(directory);
    if (!SeenVersion(seen, file.identity) && CurrentIn(seen, *folder) == nullptr)
      continue;
    return RolledBack(seen, file.identity, file.version) ? code::kDirectoryRolledBack
                                                         : code::kOtherSeriesMac;
  }
  return code::kOk;
}

// --- the directory file ---

// For writers: reads and checks the whole directory with the owner's key,
// and refuses an older copy than the owner's device record has, one of
// another owner (131) and one its owner gave up. `exists` tells whether the
// file was there, `bytes` holds it as read.
Code LoadDirectory(std::string_view directory, Generation generation, const LoadedKey &owner,
                   const SeenVersions &seen, DirectoryFile &out, Bytes &bytes, bool &exists) {
  if (Code c = ReadFile(JoinPath(directory, kDirectoryFileName), bytes, exists); c != 0)
    return c;
  if (!exists) {
    out = DirectoryFile{generation, {}, {}, {}, 0};
    return code::kOk;
  }
  DirectoryFile structure;
  crypto::Mac64 headerMac{};
  if (Code c =
          ParseDirectoryStructure(bytes.data(), bytes.size(), generation, structure, headerMac);
      c != 0)
    return c;
  if (structure.owner != owner.id)
    return code::kOtherSeriesMac;
  const Key256 key = DirectoryKey(owner.privateKey, owner.id);
  if (Code c = VerifyDirectory(bytes.data(), bytes.size(), generation, key, out); c != 0)
    return c;
  return RolledBack(seen, out.identity, out.version) ? code::kDirectoryRolledBack : code::kOk;
}

// --- the directory as this process last checked it ---
//
// A reader checks the whole file once (its header MAC, which covers every
// entry's MAC, and that it is not older than the owner's device has seen)
// and keeps it, with its entries indexed by identifier; each entry is
// checked in full (MAC, block, point, proof of possession) when it is first
// handed out. Every later call opens the file, takes its identity with one
// status call (device, file number, size, content and status change times)
// and reads its 56-byte header: the kept copy serves only while all of
// these are as they were and the owner's key is the same load of it, and
// while the owner's device record lets it through (checked again whenever
// the record file's identity changed: another process may have recorded a
// newer version).
//
// Why both: every writer renames a new file over the old one (a new file
// number and status change time) and raises the version under the header
// MAC, and a copy put back has another version or header MAC, so the header
// alone tells every change a writer or a rollback makes, whatever the
// clock; the identity tells in-place changes that keep the header. Neither
// sees an in-place change within the granularity of the file times that
// keeps the size and the header, so a file changed less than kSettle before
// it was read is not kept at all: it is read and checked afresh each call
// until it has settled.
constexpr std::int64_t kSettleFine = 100'000'000;     // ns, file times with sub-second parts
constexpr std::int64_t kSettleCoarse = 2'100'000'000; // ns, file times in whole seconds (FAT: 2 s)
// How many directories a process keeps checked.
constexpr std::size_t kMaxCheckedDirectories = 16;

// Process-wide, not thread-local: see kept_objects.h.
std::atomic<std::uint64_t> gDirectoryReads{0};

class CheckedDirectory {
public:
  CheckedDirectory(const platform::FileIdentity &identity, Bytes data, Generation generation,
                   const LoadedKey &owner, const DirectoryFile &structure,
                   const std::optional<platform::FileIdentity> &seenFile)
      : identity_(identity), data_(std::move(data)), generation_(generation), owner_(owner.id),
        ownerLoad_(owner.load), directory_(structure.identity), version_(structure.version),
        seenFile_(seenFile) {
    for (std::size_t i = 0; i < structure.entries.size(); ++i)
      index_[GetText(structure.entries[i].block.data() + 8, 12)].push_back(i);
  }

  bool Matches(const platform::FileIdentity &identity, const Bytes &header) const {
    return identity == identity_ && header.size() == kDirectoryHeaderSize &&
           std::equal(header.begin(), header.end(), data_.begin());
  }
  const std::string &Owner() const { return owner_; }
  std::uint64_t OwnerLoad() const { return ownerLoad_; }
  // The identity and version its header names.
  const DirectoryIdentity &Directory() const { return directory_; }
  std::uint64_t Version() const { return version_; }

  // Whether the owner's device record still lets this copy through: while
  // the record file is as it was when the copy was checked (one status
  // call), and when it changed (another process recorded a newer version,
  // or the owner gave the directory up), by what it holds now: 0,
  // kDirectoryRolledBack or the code of a record that cannot be read.
  Code CheckRecord(const LoadedKey &owner) const {
    if (owner.device.empty())
      return code::kOk;
    auto now = platform::PathIdentity(JoinPath(owner.device, kSeenFileName));
    std::lock_guard<std::mutex> lock(seenMutex_);
    if (now == seenFile_)
      return code::kOk;
    SeenVersions seen;
    if (Code c = ReadSeen(owner, seen); c != 0)
      return c;
    if (RolledBack(seen, directory_, version_))
      return code::kDirectoryRolledBack;
    seenFile_ = std::move(now);
    return code::kOk;
  }

  // The entry stored under `id`, checked in full at the first request with
  // the owner's key: 0, kNoPublicKey or the code of the check.
  Code Find(std::string_view id, const LoadedKey &owner, DirectoryEntry &out) const {
    const auto at = index_.find(std::string(id));
    if (at == index_.end())
      return code::kNoPublicKey;
    std::lock_guard<std::mutex> lock(mutex_);
    auto done = checked_.find(at->first);
    if (done == checked_.end()) {
      Checked result;
      result.code = Check(at->second, owner, result.entry);
      done = checked_.emplace(at->first, std::move(result)).first;
    }
    if (done->second.code == code::kOk)
      out = done->second.entry;
    return done->second.code;
  }

private:
  struct Checked {
    Code code = code::kOk;
    DirectoryEntry entry;
  };

  // Every entry under the identifier must check out; the first is handed
  // out, its block checked in full (point, proof of possession).
  Code Check(const std::vector<std::size_t> &entries, const LoadedKey &owner,
             DirectoryEntry &first) const {
    const Key256 key = DirectoryKey(owner.privateKey, owner.id);
    for (std::size_t i = 0; i < entries.size(); ++i) {
      DirectoryEntry entry;
      if (Code c =
              VerifyDirectoryEntry(data_.data(), data_.size(), generation_, key, entries[i], entry);
          c != 0)
        return c;
      if (i == 0)
        first = std::move(entry);
    }
    PublicKeyBlock full;
    return ParsePublicKeyBlock(first.block.data(), first.block.size(), generation_, full);
  }

  platform::FileIdentity identity_;
  Bytes data_;
  Generation generation_;
  std::string owner_;
  std::uint64_t ownerLoad_;
  DirectoryIdentity directory_;
  std::uint64_t version_;
  mutable std::mutex seenMutex_;
  mutable std::optional<platform::FileIdentity> seenFile_; // the record file's, as last read
  std::unordered_map<std::string, std::vector<std::size_t>> index_;
  mutable std::mutex mutex_;
  mutable std::unordered_map<std::string, Checked> checked_;
};

// The kept directories by folder and generation. Copies of one directory
// (the same owner and identity) may lie in several folders; once this
// process has checked or written a newer version of it in one of them, an
// older copy kept from another folder is dropped, as the owner's device
// record would refuse it on a fresh read. The newest versions are known only
// while the owner's key has a device (no record, no versions checked), and
// for at most kMaxKnownVersions directories: past that the process forgets
// them and everything it kept, and reads each folder afresh.
class CheckedDirectories {
public:
  std::shared_ptr<const CheckedDirectory> Find(const std::string &name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = kept_.find(name);
    return found == kept_.end() ? nullptr : found->second;
  }
  void Keep(const std::string &name, std::shared_ptr<const CheckedDirectory> directory) {
    std::lock_guard<std::mutex> lock(mutex_);
    // A newer version seen since this one was checked: it is stale already.
    if (const auto newest = newest_.find({directory->Owner(), directory->Directory()});
        newest != newest_.end() && newest->second > directory->Version())
      return;
    if (kept_.size() >= kMaxCheckedDirectories && kept_.find(name) == kept_.end())
      kept_.erase(kept_.begin());
    kept_[name] = std::move(directory);
  }
  void Forget(const std::string &name) {
    std::lock_guard<std::mutex> lock(mutex_);
    kept_.erase(name);
  }
  // Drops what was checked with a load of this owner's key.
  void ForgetOwner(std::string_view owner) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = kept_.begin(); it != kept_.end();)
      it = it->second->Owner() == owner ? kept_.erase(it) : std::next(it);
    for (auto it = newest_.begin(); it != newest_.end();)
      it = it->first.first == owner ? newest_.erase(it) : std::next(it);
  }
  // A version of an owner's directory was checked or written: older copies
  // of it kept from any folder go.
  void Saw(const std::string &owner, const DirectoryIdentity &directory, std::uint64_t version) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto [at, added] = newest_.try_emplace({owner, directory}, version);
    if (!added) {
      if (at->second >= version)
        return;
      at->second = version;
    }
    if (newest_.size() > kMaxKnownVersions) {
      newest_.clear();
      kept_.clear();
      return;
    }
    for (auto it = kept_.begin(); it != kept_.end();)
      it = it->second->Owner() == owner && it->second->Directory() == directory &&
                   it->second->Version() < version
               ? kept_.erase(it)
               : std::next(it);
  }

private:
  static constexpr std::size_t kMaxKnownVersions = 4096;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, std::shared_ptr<const CheckedDirectory>> kept_;
  std::map<std::pair<std::string, DirectoryIdentity>, std::uint64_t> newest_;
};

CheckedDirectories &Checked() {
  static CheckedDirectories directories;
  return directories;
}

void SawVersion(const LoadedKey &owner, const DirectoryIdentity &identity, std::uint64_t version) {
  if (!owner.device.empty())
    Checked().Saw(owner.id, identity, version);
}

// True when the file changed so recently that a later change could leave
// its times as they are.
bool Unsettled(const platform::FileIdentity &identity) {
  const std::int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
  const std::int64_t latest = std::max(identity.modified, identity.changed);
  // Either time in whole seconds counts: FAT keeps its modification time in
  // 2 s steps and no status-change time, and some systems report a finer
  // time in its place (the creation time, which no write changes).
  const bool coarse =
      identity.modified % 1'000'000'000 == 0 || identity.changed % 1'000'000'000 == 0;
  return latest > now || now - latest < (coarse ? kSettleCoarse : kSettleFine);
}

// The checked directory of the folder (null with `exists` false when it has
// no file), from what this process kept while the file is unchanged, else
// read and checked afresh.
Code CheckedDirectoryOf(std::string_view directory, Generation generation,
                        std::shared_ptr<const CheckedDirectory> &out, bool &exists,
                        LoadedKey &owner) {
  out = nullptr;
  const std::string path = JoinPath(directory, kDirectoryFileName);
  platform::ReadOnlyFile file(path);
  const auto identity = file.IsOpen() ? file.Identity() : std::nullopt;
  if (!identity || !identity->regular) {
    if (!platform::DirectoryExists(directory))
      return code::kNoDirectory;
    exists = platform::FileExists(path);
    return exists ? code::kDirectoryRead : code::kOk;
  }
  exists = true;
  if (identity->size > kMaxDirectoryFile)
    return code::kDirectoryLength;
  Bytes data(
      static_cast<std::size_t>(std::min<std::int64_t>(identity->size, kDirectoryHeaderSize)));
  if (file.Read(data.data(), data.size()) != data.size())
    return code::kDirectoryRead;
  const std::string name =
      std::string(directory) + '\0' + static_cast<char>('0' + static_cast<int>(generation));
  if (auto kept = Checked().Find(name); kept && kept->Matches(*identity, data)) {
    auto key = KeyDriver::Instance().EncryptionKeyOfPair(kept->Owner());
    if (key && key->load == kept->OwnerLoad()) {
      if (Code c = kept->CheckRecord(*key); c != 0) {
        Checked().Forget(name);
        return c;
      }
      owner = std::move(*key);
      out = std::move(kept);
      return code::kOk;
    }
  }
  Checked().Forget(name);
  gDirectoryReads.fetch_add(1, std::memory_order_relaxed);
  data.resize(static_cast<std::size_t>(identity->size));
  const std::size_t rest = data.size() - kDirectoryHeaderSize;
  if (data.size() > kDirectoryHeaderSize &&
      file.Read(data.data() + kDirectoryHeaderSize, rest) != rest)
    return code::kDirectoryRead;
  DirectoryFile structure;
  crypto::Mac64 headerMac{};
  if (Code c = ParseDirectoryStructure(data.data(), data.size(), generation, structure, headerMac);
      c != 0)
    return c;
  if (Code c = FindOwnerKey(structure.owner, owner); c != 0)
    return c;
  if (Code c = VerifyDirectoryHeader(data.data(), data.size(), generation,
                                     DirectoryKey(owner.privateKey, owner.id), structure);
      c != 0)
    return c;
  std::optional<platform::FileIdentity> seenFile;
  if (Code c =
          CheckNotRolledBack(owner, directory, structure,
                             Bytes(data.begin(), data.begin() + kDirectoryHeaderSize), seenFile);
      c != 0)
    return c;
  auto checked = std::make_shared<const CheckedDirectory>(*identity, std::move(data), generation,
                                                          owner, structure, seenFile);
  if (!Unsettled(*identity))
    Checked().Keep(name, checked);
  out = std::move(checked);
  return code::kOk;
}

// The block of `id` read without the directory's MACs, for a process that
// does not hold the owner's key: the block itself is checked in full (check
// value, curve point, the key's own signature over its identifier), so what
// comes out is a key its holder put under that identifier.
Code ExtractUnchecked(std::string_view directory, Generation generation, std::string_view id,
                      Bytes &out) {
  Bytes data;
  bool exists = false;
  if (Code c = ReadFile(JoinPath(directory, kDirectoryFileName), data, exists); c != 0)
    return c;
  if (!exists)
    return code::kNoPublicKey;
  DirectoryFile file;
  crypto::Mac64 headerMac{};
  if (Code c = ParseDirectoryStructure(data.data(), data.size(), generation, file, headerMac);
      c != 0)
    return c;
  if (Code c = ClaimedByALoadedOwner(directory, file); c != 0)
    return c;
  for (const DirectoryEntry &entry : file.entries) {
    PublicKeyBlock key;
    if (entry.block.size() < 20 || GetText(entry.block.data() + 8, 12) != id)
      continue;
    if (Code c = ParsePublicKeyBlock(entry.block.data(), entry.block.size(), generation, key);
        c != 0)
      return c;
    out = entry.block;
    return code::kOk;
  }
  return code::kNoPublicKey;
}

// Runs one locked read-modify-write of the directory with the owner's key
// from any slot. The steps are ordered so that whatever fails leaves a
// directory that readers accept and that the owner's device record
// protects: the record is locked and read before anything changes; the new
// file is written, then its version recorded; a record that cannot be
// written takes the old file back, so the update does not count. (A writer
// killed between the two leaves the new file, which the next reader
// records.)
template <typename Change>
Code UpdateDirectory(std::string_view directory, Generation generation, std::string_view owner,
                     Change change) {
  if (!platform::DirectoryExists(directory))
    return code::kNoDirectory;
  const auto ownerKey = KeyDriver::Instance().EncryptionKeyOfPair(owner);
  if (!ownerKey)
    return code::kKeyNotFound;
  // One wait for both locks.
  const Deadline deadline = std::chrono::steady_clock::now() + kLockWait;
  platform::FileLock lock(JoinPath(directory, kDirectoryLockName), kLockWait);
  if (!lock.IsLocked())
    return lock.TimedOut() ? code::kDirectoryBusy : code::kDirectoryWrite;
  RemoveStaleTemporaries(directory, kDirectoryFileName);
  SeenUpdate record(*ownerKey, deadline);
  if (Code c = record.Open(); c != 0)
    return c;
  DirectoryFile file;
  Bytes before;
  bool exists = false;
  if (Code c = LoadDirectory(directory, generation, *ownerKey, record.Seen(), file, before, exists);
      c != 0)
    return c;
  const FolderKey folder = FolderKeyOf(directory);
  if (!exists) {
    // The device knows a directory here: its file is gone or hidden, and a
    // new directory would let copies of the old one back in.
    if (CurrentIn(record.Seen(), folder) != nullptr)
      return code::kNoDirectoryFile;
    crypto::RandomBytes(file.identity.data(), file.identity.size());
  }
  file.owner = ownerKey->id;
  if (Code c = change(file); c != 0)
    return c;
  if (file.entries.size() > MaxDirectoryEntries(generation))
    return code::kDirectoryFull;
  ++file.version;
  const Key256 key = DirectoryKey(ownerKey->privateKey, ownerKey->id);
  const std::string path = JoinPath(directory, kDirectoryFileName);
  if (!WriteReplacing(path, BuildDirectory(file, key)))
    return code::kDirectoryWrite;
  Record(record.Seen(), file.identity, file.version, folder);
  if (Code c = record.Write(); c != 0) {
    std::error_code ignored;
    if (exists)
      (void)WriteReplacing(path, before);
    else
      std::filesystem::remove(platform::NativePath(path), ignored);
    return c;
  }
  SawVersion(*ownerKey, file.identity, file.version);
  return code::kOk;
}

} // namespace

std::size_t MaxDirectoryEntries(Generation generation) {
  return (static_cast<std::size_t>(kMaxDirectoryFile) - kDirectoryHeaderSize) /
         DirectoryEntrySize(generation);
}

std::uint64_t DirectoryReads() { return gDirectoryReads.load(std::memory_order_relaxed); }

void ForgetCheckedDirectoriesOf(std::string_view owner) { Checked().ForgetOwner(owner); }

Code RetireDirectory(const LoadedKey &owner, std::string_view directory, bool &known) {
  known = false;
  if (owner.device.empty())
    return code::kDeviceError;
  SeenUpdate record(owner, std::chrono::steady_clock::now() + kLockWait);
  if (Code c = record.Open(); c != 0)
    return c;
  if (!record.Writable())
    return code::kDeviceError;
  SeenVersions &seen = record.Seen();
  const FolderKey folder = FolderKeyOf(directory);
  const auto current = std::find_if(seen.folders.begin(), seen.folders.end(),
                                    [&](const auto &entry) { return entry.first == folder; });
  if (current == seen.folders.end())
    return code::kOk;
  known = true;
  PutFirst(seen.records, current->second, kRetiredVersion, kMaxSeenDirectories);
  seen.folders.erase(current);
  // Copies this process keeps go at their next use: the record file changed.
  return record.Write();
}

namespace {

// The checked directory to look keys up in: 0, a code of the directory,
// kNoPublicKey when there is none, or kKeyNotFound / kOtherSeriesMac when
// the owner's key is not loaded.
Code DirectoryToLookUp(std::string_view directory, Generation generation,
                       std::shared_ptr<const CheckedDirectory> &checked, LoadedKey &owner) {
  bool exists = false;
  if (Code c = CheckedDirectoryOf(directory, generation, checked, exists, owner); c != 0)
    return c;
  return checked ? code::kOk : code::kNoPublicKey;
}

// The checked entry of `id` from the directory.
Code CheckedEntry(std::string_view directory, Generation generation, std::string_view id,
                  DirectoryEntry &out) {
  std::shared_ptr<const CheckedDirectory> checked;
  LoadedKey owner;
  if (Code c = DirectoryToLookUp(directory, generation, checked, owner); c != 0)
    return c;
  return checked->Find(id, owner, out);
}

} // namespace

Code LookupPublicKey(std::string_view directory, Generation generation, std::string_view id,
                     KeyKind kind, PublicKeyBlock &out) {
  std::vector<PublicKeyBlock> found;
  if (Code c = LookupPublicKeys(directory, generation, {std::string(id)}, kind, found); c != 0)
    return c;
  out = std::move(found.front());
  return code::kOk;
}

Code LookupPublicKeys(std::string_view directory, Generation generation,
                      const std::vector<std::string> &ids, KeyKind kind,
                      std::vector<PublicKeyBlock> &out) {
  out.clear();
  if (ids.empty() || std::any_of(ids.begin(), ids.end(), [](const auto &id) { return id.empty(); }))
    return code::kNoPublicKey;
  std::shared_ptr<const CheckedDirectory> checked;
  LoadedKey owner;
  if (Code c = DirectoryToLookUp(directory, generation, checked, owner); c != 0)
    return c;
  for (const std::string &id : ids) {
    DirectoryEntry entry;
    if (Code c = checked->Find(id, owner, entry); c != 0)
      return c;
    if (entry.key.kind != kind)
      return code::kNoPublicKey;
    out.push_back(std::move(entry.key));
  }
  return code::kOk;
}

Code ExtractPublicKeyBlock(std::string_view directory, Generation generation, std::string_view id,
                           Bytes &out) {
  DirectoryEntry entry;
  const Code c = CheckedEntry(directory, generation, id, entry);
  // Handing a key out for display needs no secret: without the owner's key
  // loaded the block is read unchecked by the directory's MACs and checked
  // on its own.
  if (c == code::kKeyNotFound || c == code::kOtherSeriesMac)
    return ExtractUnchecked(directory, generation, id, out);
  if (c != 0)
    return c;
  out = std::move(entry.block);
  return code::kOk;
}

Code AddPublicKey(std::string_view directory, Generation generation, const std::uint8_t *block,
                  std::string_view owner, KeyKind ownerKind) {
  const std::size_t size = PublicKeyBlockSize(generation);
  PublicKeyBlock parsed;
  if (Code c = ParsePublicKeyBlock(block, size, generation, parsed); c != 0)
    return c;
  return UpdateDirectory(directory, generation, owner, [&](DirectoryFile &file) {
    DirectoryEntry entry;
    entry.block.assign(block, block + size);
    entry.key = parsed;
    entry.makerKind = ownerKind;
    entry.maker = std::string(owner);
    DirectoryEntry *same = nullptr;
    for (auto &existing : file.entries) {
      if (existing.key.id == parsed.id)
        same = &existing;
      else if (existing.key.key == parsed.key)
        return code::kKeyCompromised; // one key, two identifiers
    }
    if (same != nullptr)
      *same = std::move(entry);
    else
      file.entries.push_back(std::move(entry));
    return code::kOk;
  });
}

Code DeletePublicKey(std::string_view directory, Generation generation, std::string_view id,
                     std::string_view owner, KeyKind /*ownerKind*/) {
  return UpdateDirectory(directory, generation, owner, [&](DirectoryFile &file) {
    for (auto it = file.entries.begin(); it != file.entries.end(); ++it) {
      if (it->key.id == id) {
        file.entries.erase(it);
        return code::kOk;
      }
    }
    return code::kNoPublicKey;
  });
}

} // namespace kestrel_provider
