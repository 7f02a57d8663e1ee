#pragma once
// The helper's command line:
//   VantrelHelper                       the service manager's socket (LISTEN_FDS) when it passed one,
//                                       else listen on the endpoint
//   VantrelHelper --listen PATH         listen on PATH (an administrator's or a test's shared helper)
//   VantrelHelper --connection-fd N     serve the one connection on the inherited socket N, then exit
//   --allow-image-files                 also accept regular image files and loop devices as devices
//   VantrelHelper --install-service     (root) make the group vantrel where missing, enable and start
//                                       the socket unit; what else was done goes to standard output
//   VantrelHelper --remove-service      (root) disable and stop the socket unit
//   --help, --version                   print the usage or the version and end, serving nothing
// "--listen=PATH" and "--connection-fd=N" work as well.

#include <optional>
#include <string>
#include <vector>

namespace vantrel {

struct HelperOptions {
    enum class Mode { endpoint, listen, connection, installService, removeService };

    Mode mode = Mode::endpoint;
    std::string listenPath;  // listen
    int connectionFd = -1;   // connection
    bool allowImageFiles = false;
    bool help = false;
    bool version = false;

    // The usage lines that --help prints and a refused command line ends with.
    static std::string usage();
    // The options, or nothing with the reason in problem.
    static std::optional<HelperOptions> parse(const std::vector<std::string>& arguments, std::string& problem);
};

} // namespace vantrel
