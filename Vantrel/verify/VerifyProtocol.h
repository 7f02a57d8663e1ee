#pragma once
// What the application and its verifying child process `vantrel-verify` say to each other. The child is
// started as
//     vantrel-verify --kind=<kind> [--cut-at-cap] --cpu-seconds=<n> --memory-mib=<n> <file>
// and, when it has judged the file, exits 0 after writing lines of "<key> <value>":
//     verdict ok|suspect|failed|skipped   always, first
//     date YYYY:MM:DD HH:MM:SS             when the picture states a capture time
//     offset +HH:MM                         when it also states that time's offset from universal time
//     verdict unreadable                    instead, when the file cannot be read (missing, not a
//                                           regular file, or beyond the size bound): nothing was judged
// Any other ending is no verdict.
//
// To judge many files in one process, the application starts it as
//     vantrel-verify --serve --cpu-seconds=<n> --memory-mib=<n>
// and writes one request a line to its standard input:
//     <kind> <0|1, the file was cut at the cap> <file>
// For each it writes the lines above, then the line "end". The CPU-time limit holds for each file on
// its own; the memory limit for the process. It exits at the end of its input. Any other ending of
// an answer (the process ended, or a line that is not the protocol's) is no verdict, and the
// application starts a new process for the next file.
//
// The serving process loads no decoder, so that it starts at once. It opens each file and hands it,
// open, to a judging process it starts from the decoding program beside it, of its own name with
// decoderSuffix (vantrel-verify-decode),
//     vantrel-verify-decode --judge --cpu-seconds=<n> --memory-mib=<n>
// which gives up root before it reads a byte, judges many files in turn and writes their answers to
// the output the two share; it is no interface of the application's. For every other task below,
// vantrel-verify becomes vantrel-verify-decode with the same arguments.
//
// For the preview the same program draws instead of judging, with the same limits. It reads the file
// from descriptor 3 and writes into the file open at descriptor 4, both opened by the application,
// and touches no path: started as root it gives up root before it reads a byte, and the application
// names the output (or drops it) by the answer.
//     vantrel-verify --kind=<kind> --cpu-seconds=<n> --memory-mib=<n> --render --max-side=<n>
// writes the upright picture (or a PDF's first page), fitted into a square of max-side pixels, as a
// PNG and says
//     rendered <width>x<height>             when the PNG was written whole
//     pages <n>                             for a PDF, after it
//     partial                               after it, when only part of the picture decoded (the
//                                           file is damaged or cut); the PNG holds that part
//     unrendered                            when the bytes give no picture or it could not be written
// and
//     vantrel-verify --kind=<kind> --cpu-seconds=<n> --memory-mib=<n> --upright
// says
//     orientation <n>                       always, first (1 to 8, as EXIF counts; 1 for none)
//     upright                               when a turned copy was written whole as a JPEG
// Any other ending is no output: whatever the child wrote is dropped.

#include <string_view>

namespace vantrel::VerifyProtocol {

inline constexpr std::string_view kindOption = "--kind=";
inline constexpr std::string_view cutAtCapOption = "--cut-at-cap";
inline constexpr std::string_view serveOption = "--serve";
inline constexpr std::string_view judgeOption = "--judge";
// The decoding program is the serving program's path with this added.
inline constexpr std::string_view decoderSuffix = "-decode";
inline constexpr std::string_view endLine = "end";
// The longest request line: a kind, a flag and a path.
inline constexpr std::size_t maxRequestBytes = 8192;
inline constexpr std::string_view cpuSecondsOption = "--cpu-seconds=";
inline constexpr std::string_view memoryMiBOption = "--memory-mib=";

inline constexpr std::string_view renderOption = "--render";
inline constexpr std::string_view maxSideOption = "--max-side=";
inline constexpr std::string_view uprightOption = "--upright";
// Where a drawing or an upright copy reads its file and writes its output.
inline constexpr int inputDescriptor = 3;
inline constexpr int outputDescriptor = 4;

inline constexpr std::string_view verdictKey = "verdict";
inline constexpr std::string_view unreadableValue = "unreadable";
inline constexpr std::string_view dateKey = "date";
inline constexpr std::string_view offsetKey = "offset";
inline constexpr std::string_view renderedKey = "rendered";
inline constexpr std::string_view pagesKey = "pages";
inline constexpr std::string_view unrenderedLine = "unrendered";
inline constexpr std::string_view partialLine = "partial";
inline constexpr std::string_view orientationKey = "orientation";
inline constexpr std::string_view uprightLine = "upright";
// The upright copy is at most this many pixels wide and high.
inline constexpr int maxUprightSidePixels = 10'000;
// JPEG quality of the upright copy, 0 to 100.
inline constexpr int uprightJpegQuality = 92;

} // namespace vantrel::VerifyProtocol
