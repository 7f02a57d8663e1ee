#pragma once
// The helper service as the service manager knows it: the socket unit shipped with the program.
// Its status comes from `systemctl is-enabled` and a connection attempt (a socket this user may not
// connect to needs approval: membership of the group that may use the helper). Installing and
// removing run the helper program itself (`VantrelHelper --install-service`, `--remove-service`),
// as root directly and otherwise through pkexec, which asks for an administrator's password under
// the helper's own polkit action; installing makes the group first where it is missing, then
// enables and starts the socket unit, removing disables and stops it. Without systemd the service
// counts as not installed, and the application spawns a helper of its own. A change that fails says
// why in the words the helper (passing on systemctl's) or pkexec wrote.

#include "Vantrel/effects/ServiceRegistrar.h"

#include "platform/process/ProcessRunner.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <filesystem>
#include <string>
#include <sys/types.h>

namespace vantrel {

struct SystemdServiceOptions {
    std::filesystem::path systemctl = "/usr/bin/systemctl";
    std::filesystem::path pkexec = "/usr/bin/pkexec";
    std::filesystem::path helper;  // the program that installs and removes the service
    std::filesystem::path systemdRuntime = "/run/systemd/system";  // exists while systemd runs
    std::string unit;          // the socket unit
    std::string socketPath;    // where the unit listens
    uid_t uid = 0;             // the application's user
    // Long enough for an administrator to type a password into pkexec's prompt.
    std::chrono::milliseconds changeTimeLimit{120'000};

    // systemctl and pkexec are the first on PATH (else the paths above), the helper the one that
    // belongs with this program.
    static SystemdServiceOptions standard();
};

class SystemdServiceRegistrar final : public ServiceRegistrar {
public:
    explicit SystemdServiceRegistrar(SystemdServiceOptions options);

    HelperInstallStatus status() override;
    // Both run the change on a thread of their own and call done there.
    void registerService(Completion done) override;
    void unregisterService(Completion done) override;
    bool lastRegistrationMadeGroup() const override { return m_madeGroup->load(); }

private:
    void change(bool install, Completion done);

    SystemdServiceOptions m_options;
    ProcessRunner m_runner;
    std::shared_ptr<std::atomic<bool>> m_madeGroup = std::make_shared<std::atomic<bool>>(false);
};

// Whether what `VantrelHelper --install-service` printed says that it made the group.
bool saysGroupWasMade(const std::string& output);

// What `systemctl is-enabled` printed, as an install status: not-found (or nothing) is not installed,
// enabled states are installed, the rest (disabled, masked, linked) need an administrator.
HelperInstallStatus installStatusFromUnitState(const std::string& state);

// Why a change of the registration failed, in one text for the user: what the helper (or pkexec,
// when it refused or could not run it) wrote to its standard error, made readable and bounded;
// without any words, what became of the tool. Never the tool's raw output.
std::string serviceChangeFailure(const ProcessRequest& request, const ProcessResult& result, bool throughPkexec);

} // namespace vantrel
