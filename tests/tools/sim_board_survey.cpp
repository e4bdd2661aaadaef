// Prints the host survey of a simulated board as JSON, for the package's
// set-up check to be run against every simulated board:
//   sim_board_survey BOARD_KIND [deny=/dev/NODE] [silent] [uid=N]
// `deny` makes opening that node fail with EACCES, `silent` makes the
// module's controller stop answering.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <linux/i2c-dev.h>

#include "sensor/HostSurvey.h"
#include "sim/SimCsiBoard.h"

using namespace Quorvex;
using namespace Quorvex::Sim;

namespace {

std::string quoted(const std::string& s)
{
    std::string out = "\"";
    for (const char c : s) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s BOARD_KIND [deny=/dev/NODE] [silent]\n", argv[0]);
        return 2;
    }
    const auto board = static_cast<BoardKind>(std::strtoul(argv[1], nullptr, 0));
    SimKernel k;
    ScopedKernel scope{k};
    SimCsiBoard sim(k, board);
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.compare(0, 5, "deny=") == 0)
            k.failOpen(arg.substr(5), EACCES);
        else if (arg == "silent")
            k.failIoctl("/dev/i2c-" + std::to_string(SimCsiBoard::moduleBus(board)), I2C_RDWR, ENXIO);
    }
    const HostSurvey s = surveyHost();
    std::printf("{\"model\": %s, \"board\": %u, \"module_bus\": %d, \"module_bus_source\": %s, "
                "\"chip_answers\": %d, \"chip_error\": %d, \"nodes\": [",
                quoted(s.model).c_str(), static_cast<unsigned>(s.board), s.moduleBus,
                quoted(s.moduleBusSource).c_str(), s.chipAnswers, s.chipError);
    for (size_t i = 0; i < s.nodes.size(); ++i) {
        const SurveyNode& n = s.nodes[i];
        std::printf("%s{\"path\": %s, \"kind\": %s, \"driver\": %s, \"card\": %s, \"mode\": %u, \"gid\": %u, "
                    "\"open_error\": %d}",
                    i ? ", " : "", quoted(n.path).c_str(), quoted(n.kind).c_str(), quoted(n.driver).c_str(),
                    quoted(n.card).c_str(), n.mode, n.gid, n.openError);
    }
    std::printf("]}\n");
    return 0;
}
