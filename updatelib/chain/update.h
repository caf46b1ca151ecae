// Run-time-typed update records: a target item names what it applies to, an update carries
// everything needed to fetch, verify and describe one downloadable file.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "updatelib/state/target_id.h"

namespace Tern {

class HttpDownloader;
class UpdateObserver;
class UpdateStateStore;
struct UpdateFileState;

class DynamicType {
public:
    virtual ~DynamicType() = default;

    // The name of the object's class.
    virtual const char* TypeName() const = 0;
    // Whether the object is of the class `name` or of one of its bases.
    virtual bool IsKindOf(const char* name) const = 0;
    // Extension point of the run-time-typed classes.
    virtual void Hook() = 0;
};

class TargetItem : public DynamicType {
public:
    explicit TargetItem(const TargetId& target) : target(target) {}

    TargetId target;
};

class Update : public TargetItem {
public:
    // Releases an update through its own Destroy, so that a copy is freed the way its class
    // wants to be freed.
    struct Deleter {
        void operator()(Update* update) const { update->Destroy(); }
    };
    using Ptr = std::unique_ptr<Update, Deleter>;

    Update(const TargetId& target, std::vector<std::string> mirrors, std::string signature,
           int32_t size, std::string version, std::vector<TargetId> applyAfter,
           bool containsUpgradeLauncher, std::string description);

    const char* TypeName() const override;
    // True for "Update" and "TargetItem" only; the abstract root does not count.
    bool IsKindOf(const char* name) const override;
    void Hook() override;

    // Writes the fields, one per line; the target is left to the caller.
    virtual void Dump(std::ostream& out) const;
    // A heap copy of the whole object, released through Destroy by its Ptr.
    virtual Ptr Clone() const;
    // Deletes the object; only a Ptr calls it, and never for null.
    virtual void Destroy();

    // Downloads the file of this update (update `index`, 1-based, of `count`) into the
    // temporary directory, resuming a stored partial download, verifies its checksum and
    // records the outcome in `stateStore`. True when the file is ready to run; otherwise the
    // reason is in the observer's Result and technical log.
    bool downloadUpdate(UpdateObserver& observer, HttpDownloader& downloader,
                        UpdateStateStore& stateStore, uint32_t count, uint32_t index);

    // Starts the downloaded file of this update, if a trusted publisher signed it for `product`
    // with a release above every one started before, cut to the payload the signature covers,
    // and waits for it unless it replaces the launcher; the outcome goes to the observer's
    // Result. The started release is recorded as the highest.
    bool startUpdate(UpdateObserver& observer, UpdateStateStore& stateStore,
                     const std::string& product);

    std::vector<std::string> mirrors;
    std::string signature;
    int32_t size;
    std::string version;
    std::vector<TargetId> applyAfter;
    bool containsUpgradeLauncher;
    std::string description;

private:
    // The steps of downloadUpdate. A stored file that is ready to run, or was run already,
    // settles the download without a transfer.
    bool reuseStoredFile(const UpdateFileState& stored, UpdateStateStore& stateStore,
                         std::ostream& log);
    // Keeps a partial file for the next run where the failure allows it, deletes it otherwise,
    // and sets Result.
    bool endFailedTransfer(UpdateObserver& observer, const HttpDownloader& downloader,
                           UpdateStateStore& stateStore, const std::string& file, bool resumed);
    // Compares the finished file's checksum with the announced one and records the file as
    // ready to run, or deletes it.
    bool verifyDownload(UpdateObserver& observer, UpdateStateStore& stateStore,
                        const std::string& file);
};

}  // namespace Tern
