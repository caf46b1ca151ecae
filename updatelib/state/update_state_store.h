// Per-target state of downloaded update files, kept in the current user's registry below the
// update key ("<key>\UpdateFiles", one string value per target: a two-character state prefix
// and the file's path) and mirrored in memory while an update run lasts. Also the single
// values of the update key the engine and the updates use.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "updatelib/state/target_id.h"

namespace Tern {

enum FileStateCode : int32_t {
    FlaggedForDeletion = 0,   // "D ": a started update, deleted at the next start
    FlaggedForExecution = 1,  // "E ": downloaded and verified, waiting to be run
    PartialDownload = 2,      // "R ": the first part of a download, resumed next time
};

struct UpdateFileState {
    TargetId target;
    std::string path;
    int32_t state;
};

// The output buffer callers hand to Lookup: target "invalidproduct", no path. Its state,
// FlaggedForDeletion, means "neither resume nor run" to a caller that reads it by mistake.
UpdateFileState PlaceholderFileState();

class UpdateStateStore {
public:
    UpdateStateStore() = default;
    UpdateStateStore(const UpdateStateStore&) = delete;
    UpdateStateStore& operator=(const UpdateStateStore&) = delete;

    // Remembers the update key path and loads the stored file states.
    void Open(const std::string& keyPath);
    // Appends a record for every well-formed stored value that names a download of this
    // library (IsDownloadFile) which can be opened for reading and writing. Values naming any
    // other file are deleted, with a diagnostic line when the file is not a download; malformed
    // ones are logged on the diagnostic stream and kept.
    void Load();

    // Copies the first record of `target` into `record`; false (and `record` untouched) when
    // there is none.
    bool Lookup(const TargetId& target, UpdateFileState& record) const;
    // Writes the state to the registry and replaces the target's record, or appends one.
    void Store(const TargetId& target, const std::string& path, int32_t state);
    // Deletes the values and records of every record in `state`.
    void RemoveState(int32_t state);
    // Deletes the UpdateFiles key with all its values; the records stay.
    void DropFilesKey();
    // Deletes the files of the records that are waiting to be run or resumed, all records and
    // the UpdateFiles key.
    void ForgetAll();

    // A value of the update key; empty when missing or longer than the read buffer.
    std::string ReadUserValue(const std::string& name) const;
    void WriteUserValue(const std::string& name, const std::string& value);
    // The installed game's id ("info" in the local machine's update key), read the same way.
    std::string ReadInstalledInfo() const;
    // Whether the installed game's id is still the one the last started update found ("lastinfo"):
    // that update has not taken effect, and may run again.
    bool LastStartHasNotTakenEffect() const;
    // The highest release of a stamped update this installation started ("lastrelease", a dword
    // of the update key); 0 when there is none, or the value is not a dword.
    uint32_t ReadHighestRelease() const;
    void WriteHighestRelease(uint32_t release);

    const std::vector<UpdateFileState>& Records() const { return records_; }

private:
    // Handles one value of the Load walk; false when the value is to be deleted.
    bool LoadValue(const std::string& name, const platform::RegistryValue& value);

    std::vector<UpdateFileState> records_;
    std::string baseKeyPath_;
    std::string filesKeyPath_;
};

// Sets the string value `name` of "<keyPath>\UpdateFiles" in the current user's registry,
// creating the key when needed. Called for every progress report of a transfer, so it does
// nothing beyond one create-or-open, one set and one close.
void WriteFilesValue(const std::string& keyPath, const std::string& name, const std::string& data);

}  // namespace Tern
