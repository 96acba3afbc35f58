#pragma once
// Outputs written to a temporary file first, so that a run that fails leaves its target as
// it was.

#include <memory>
#include <string>

#include "locations.h"

namespace avitool {

// An output written to a local temporary file and put in place by commit(); dropped
// (removed) otherwise, so a run that fails leaves the target as it was. A local target's
// temporary file lies beside it and is renamed onto it; an existing target is refused
// unless overwrite. A URL's lies in TMPDIR and is uploaded through the remote plug-in; a
// refused upload leaves the bytes on disk (commit says where).
//
// A streamed output is a URL written through the remote plug-in as the writer goes (s3://
// uploads its parts while they fill), with no local copy: open() opens the writer on it,
// the upload stays open after the writer closes, for patch(), and commit() finishes it;
// drop() abandons it, so that nothing is uploaded.
class HeldUpload;
class Output {
public:
    Output() = default;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output() { drop(); }

    // False, with the message printed, when the target exists (without overwrite) or no
    // temporary file can be made beside it. A recording (visible) is written where people
    // look for it: a new local target under its own name, an overwritten one as
    // TARGET.part until commit; other outputs as a hidden temporary file.
    bool prepare(const std::string& target, bool overwrite, bool visible = false, bool streamed = false);
    bool streamed() const { return held_ != nullptr; }
    // Opens f for writing the output.
    bool open(avi::internal::FileBridge& f);
    // Rewrites the closed file's stream headers (salvage::patchStreamHeaders).
    bool patch(std::uint32_t rateNum, std::uint32_t rateDen, std::uint64_t audioFrames);
    // The local file to write (for a streamed output, the URL).
    const std::string& path() const { return writePath_; }
    // path() as a local Location (its name may contain ":/").
    Location location() const { return locate("file:" + writePath_); }
    const std::string& target() const { return target_; }
    bool commit();
    void drop();

private:
    std::string target_, writePath_;
    bool temporary_ = false;
    bool remote_ = false;
    bool inPlace_ = false;  // written under the target's own name: commit has nothing to do
    bool overwrite_ = false;
    std::unique_ptr<avi::internal::FileBridge> keeper_;  // keeps the plug-in loaded
    std::shared_ptr<HeldUpload> held_;
};

}  // namespace avitool
