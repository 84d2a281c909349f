#pragma once
// The port alias: a symbolic link `COMn` in the user's democomm alias folder that points to
// the terminal the simulator serves, so that democomm's default port name reaches it.
//
// The folder is $XDG_RUNTIME_DIR/democomm when XDG_RUNTIME_DIR is set (and absolute), else
// /tmp/democomm-<uid>. It is trusted only when it is a real directory (not a link), owned by
// the user, and not writable by group or others; the simulator creates it with mode 0700 if
// it is missing. democomm resolves port names by the same rule.
//
// Next to each alias the simulator keeps `.NAME.owner` with its process id and start time, so
// that an alias left by a killed run (its creator gone, or its terminal gone) is recognised as
// stale and replaced, while one in use by a live simulator is never taken over.
// All operations run under an exclusive flock on the folder; replacement is an atomic rename.
//
// Errors are returned or thrown as std::runtime_error with a message for the user. One thread.

#include <memory>
#include <string>

namespace sim {

// The alias folder for the current environment and user (not checked, not created).
std::string AliasFolderPath();

// Makes sure `folder` exists (creating it with mode 0700) and can be trusted. Returns an empty
// string when it can, else the reason it cannot.
std::string EnsureAliasFolder(const std::string& folder);

// True for a name usable as an alias: not empty, not "." or "..", no "/", at most 64 bytes.
bool ValidAliasName(const std::string& name);

// True when `name` is one democomm looks up in the alias folder: COM followed by digits,
// any case.
bool IsComName(const std::string& name);

class Alias {
public:
    // Points folder/name to `target`, replacing a stale alias. Throws std::runtime_error when
    // the folder cannot be trusted, or when the name is taken by a live simulator, by a link
    // someone else made to an existing device, or by something that is not a link.
    static std::unique_ptr<Alias> Create(const std::string& folder, const std::string& name,
                                         const std::string& target);
    ~Alias(); // Remove()

    Alias(const Alias&) = delete;
    Alias& operator=(const Alias&) = delete;

    // Removes the alias and its owner record if they are still this process's; leaves a
    // link that someone else has put there since. Idempotent; never throws.
    void Remove();

    const std::string& Path() const { return path_; }

private:
    Alias(std::string folder, std::string name, std::string target);

    std::string folder_, name_, target_, path_;
    bool removed_ = false;
};

} // namespace sim
