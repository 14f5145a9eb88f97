// Reading, checking and updating the public key directory.
#include "directory.h"

#include "key_driver.h"
#include "platform/platform.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <thread>
#include <unordered_map>

namespace kestrel_provider {
namespace {

// The largest directory file a reader takes; writers never go past it.
constexpr std::int64_t kMaxDirectoryFile = 64 * 1024 * 1024;
// How long a writer waits for the lock another process holds.
constexpr std::chrono::milliseconds kLockWait{5000};
// On the owner's key device: the versions of the directories seen, and the
// lock of its writers.
constexpr std::string_view kSeenFileName = "kestrel.ver";
constexpr std::string_view kSeenLockName = "kestrel.ver.lck";

// Reads a file; a missing file is no error (`exists` tells).
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

// The records on the owner's device. No device, no file or a file that does
// not check out give no records: whoever can change the device can as well
// delete the file (docs/provider.md, threat model).
SeenVersions ReadSeen(const LoadedKey &owner, const Key256 &key) {
  SeenVersions none;
  none.owner = owner.id;
  if (owner.device.empty())
    return none;
  Bytes data;
  bool exists = false;
  if (ReadFile(JoinPath(owner.device, kSeenFileName), data, exists) != 0 || !exists)
    return none;
  SeenVersions seen;
  if (ParseSeenVersions(data.data(), data.size(), key, seen) != 0 || seen.owner != owner.id)
    return none;
  return seen;
}

std::uint64_t SeenVersion(const SeenVersions &seen, const DirectoryIdentity &identity) {
  for (const auto &record : seen.records)
    if (record.first == identity)
      return record.second;
  return 0;
}

// Records that `version` of a directory was seen, unless a higher one is
// recorded already. A device that is read-only or locked for too long keeps
// its records.
void RaiseSeen(const LoadedKey &owner, const DirectoryIdentity &identity, std::uint64_t version) {
  if (owner.device.empty())
    return;
  platform::FileLock lock(JoinPath(owner.device, kSeenLockName), kLockWait);
  if (!lock.IsLocked())
    return;
  RemoveStaleTemporaries(owner.device, kSeenFileName);
  const Key256 key = SeenVersionsKey(owner.privateKey, owner.id);
  SeenVersions seen = ReadSeen(owner, key);
  const auto it = std::find_if(seen.records.begin(), seen.records.end(),
                               [&](const auto &record) { return record.first == identity; });
  if (it != seen.records.end()) {
    if (it->second >= version)
      return;
    seen.records.erase(it);
  }
  seen.records.insert(seen.records.begin(), {identity, version});
  if (seen.records.size() > kMaxSeenDirectories)
    seen.records.resize(kMaxSeenDirectories);
  const Bytes data = BuildSeenVersions(seen, key);
  (void)platform::WriteFileAtomically(JoinPath(owner.device, kSeenFileName), data.data(),
                                      data.size(), true);
}

// Tells the directories this process keeps that this version of an owner's
// directory was checked or written (defined with them below).
void SawVersion(const LoadedKey &owner, const DirectoryIdentity &identity, std::uint64_t version);

// Refuses a directory older than the newest one of the same identity the
// owner's device has seen, and records a newer one.
Code CheckNotRolledBack(const LoadedKey &owner, const DirectoryFile &file) {
  const Key256 key = SeenVersionsKey(owner.privateKey, owner.id);
  const std::uint64_t seen = SeenVersion(ReadSeen(owner, key), file.identity);
  if (file.version < seen)
    return code::kDirectoryRolledBack;
  if (file.version > seen)
    RaiseSeen(owner, file.identity, file.version);
  SawVersion(owner, file.identity, file.version);
  return code::kOk;
}

// --- the directory file ---

// Reads and checks the whole directory with the owner's key from any slot
// (for writers), and refuses an older copy than the owner's device has seen.
// `exists` tells whether the file was there.
Code LoadDirectory(std::string_view directory, Generation generation, DirectoryFile &out,
                   bool &exists) {
  if (!platform::DirectoryExists(directory))
    return code::kNoDirectory;
  Bytes data;
  if (Code c = ReadFile(JoinPath(directory, kDirectoryFileName), data, exists); c != 0)
    return c;
  if (!exists) {
    out = DirectoryFile{generation, {}, {}, {}, 0};
    return code::kOk;
  }
  DirectoryFile structure;
  crypto::Mac64 headerMac{};
  if (Code c = ParseDirectoryStructure(data.data(), data.size(), generation, structure, headerMac);
      c != 0)
    return c;
  LoadedKey owner;
  if (Code c = FindOwnerKey(structure.owner, owner); c != 0)
    return c;
  const Key256 key = DirectoryKey(owner.privateKey, owner.id);
  if (Code c = VerifyDirectory(data.data(), data.size(), generation, key, out); c != 0)
    return c;
  return CheckNotRolledBack(owner, out);
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
// these are as they were and the owner's key is the same load of it.
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
                   const LoadedKey &owner, const DirectoryFile &structure)
      : identity_(identity), data_(std::move(data)), generation_(generation), owner_(owner.id),
        ownerLoad_(owner.load), directory_(structure.identity), version_(structure.version) {
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
  if (Code c = CheckNotRolledBack(owner, structure); c != 0)
    return c;
  auto checked = std::make_shared<const CheckedDirectory>(*identity, std::move(data), generation,
                                                          owner, structure);
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

bool WriteDirectory(const std::string &path, const Bytes &data) {
  // A reader holding the file open may make the rename fail for a moment
  // on Windows; the old file stays whole meanwhile.
  for (int attempt = 0; attempt < 10; ++attempt) {
    if (platform::WriteFileAtomically(path, data.data(), data.size(), true))
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// Runs one locked read-modify-write of the directory with the owner's key
// from any slot.
template <typename Change>
Code UpdateDirectory(std::string_view directory, Generation generation, std::string_view owner,
                     Change change) {
  if (!platform::DirectoryExists(directory))
    return code::kNoDirectory;
  const auto ownerKey = KeyDriver::Instance().EncryptionKeyOfPair(owner);
  if (!ownerKey)
    return code::kKeyNotFound;
  platform::FileLock lock(JoinPath(directory, kDirectoryLockName), kLockWait);
  if (!lock.IsLocked())
    return lock.TimedOut() ? code::kDirectoryBusy : code::kDirectoryWrite;
  RemoveStaleTemporaries(directory, kDirectoryFileName);
  DirectoryFile file;
  bool exists = false;
  if (Code c = LoadDirectory(directory, generation, file, exists); c != 0)
    return c;
  if (exists && file.owner != ownerKey->id)
    return code::kOtherSeriesMac;
  if (!exists)
    crypto::RandomBytes(file.identity.data(), file.identity.size());
  file.owner = ownerKey->id;
  if (Code c = change(file); c != 0)
    return c;
  if (file.entries.size() > MaxDirectoryEntries(generation))
    return code::kDirectoryFull;
  ++file.version;
  const Key256 key = DirectoryKey(ownerKey->privateKey, ownerKey->id);
  const Bytes data = BuildDirectory(file, key);
  if (!WriteDirectory(JoinPath(directory, kDirectoryFileName), data))
    return code::kDirectoryWrite;
  RaiseSeen(*ownerKey, file.identity, file.version);
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
