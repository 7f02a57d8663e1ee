#pragma once
// Installing and removing the helper's service, run as root by `VantrelHelper --install-service` and
// `--remove-service`. The application asks for these through pkexec with the helper as the program,
// so that the administrator's prompt is the helper's own polkit action rather than a generic one for
// systemctl. Installing first makes the group whose members may connect when it is missing (the
// socket unit cannot start with a SocketGroup= that does not exist), then enables and starts the
// socket unit; removing disables and stops it and leaves the group. The tools are run from fixed
// paths: what pkexec runs as root takes nothing from the asking user but the verb.

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace vantrel {

struct ServiceInstallationOptions {
    std::vector<std::filesystem::path> systemctl = {"/usr/bin/systemctl", "/bin/systemctl"};
    std::vector<std::filesystem::path> groupadd = {"/usr/sbin/groupadd", "/sbin/groupadd"};
    std::string group;  // standard(): vantrel
    std::string unit;   // standard(): the socket unit
    std::chrono::milliseconds timeLimit{60'000};

    static ServiceInstallationOptions standard();
};

struct ServiceInstallationOutcome {
    bool succeeded = false;
    // What was done besides the change itself, for the user ("Created the group vantrel."), one
    // sentence a line; or why it failed, in the tool's own words.
    std::string said;
};

// The line a successful install prints when it made the group.
std::string groupCreatedNote(const std::string& group);

ServiceInstallationOutcome installService(const ServiceInstallationOptions& options);
ServiceInstallationOutcome removeService(const ServiceInstallationOptions& options);

} // namespace vantrel
