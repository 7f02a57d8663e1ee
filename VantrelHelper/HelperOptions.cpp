#include "VantrelHelper/HelperOptions.h"

#include <charconv>

namespace vantrel {

namespace {

// The value of "--name VALUE" or "--name=VALUE" at index; advances index past a separate value.
std::optional<std::string> valueOf(const std::string& name, const std::vector<std::string>& arguments, std::size_t& index) {
    const auto& argument = arguments[index];
    if (argument == name) {
        if (index + 1 >= arguments.size()) return std::nullopt;
        return arguments[++index];
    }
    return argument.substr(name.size() + 1);
}

bool startsWithOption(const std::string& argument, const std::string& name) {
    return argument == name || argument.rfind(name + "=", 0) == 0;
}

} // namespace

std::string HelperOptions::usage() {
    return "usage: VantrelHelper [--listen PATH | --connection-fd N] [--allow-image-files]\n"
           "       VantrelHelper --install-service | --remove-service\n"
           "       VantrelHelper --help | --version\n";
}

std::optional<HelperOptions> HelperOptions::parse(const std::vector<std::string>& arguments, std::string& problem) {
    HelperOptions options;
    bool modeGiven = false;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const auto& argument = arguments[index];
        if (argument == "--allow-image-files") {
            options.allowImageFiles = true;
        } else if (argument == "--install-service" || argument == "--remove-service") {
            if (modeGiven || arguments.size() != 1) {
                problem = argument + " takes no other argument";
                return std::nullopt;
            }
            modeGiven = true;
            options.mode = argument == "--install-service" ? Mode::installService : Mode::removeService;
        } else if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--version") {
            options.version = true;
        } else if (startsWithOption(argument, "--listen") || startsWithOption(argument, "--connection-fd")) {
            const bool listen = startsWithOption(argument, "--listen");
            const std::string name = listen ? "--listen" : "--connection-fd";
            if (modeGiven) {
                problem = "--listen and --connection-fd are given more than once";
                return std::nullopt;
            }
            modeGiven = true;
            const auto value = valueOf(name, arguments, index);
            if (!value || value->empty()) {
                problem = name + " needs a value";
                return std::nullopt;
            }
            if (listen) {
                options.mode = Mode::listen;
                options.listenPath = *value;
                continue;
            }
            int fd = -1;
            const auto [end, error] = std::from_chars(value->data(), value->data() + value->size(), fd);
            if (error != std::errc() || end != value->data() + value->size() || fd < 0) {
                problem = "--connection-fd needs a descriptor number, not " + *value;
                return std::nullopt;
            }
            options.mode = Mode::connection;
            options.connectionFd = fd;
        } else {
            problem = "unknown argument " + argument;
            return std::nullopt;
        }
    }
    return options;
}

} // namespace vantrel
