// The command-line program: develops raw files to JPEG (or the type a preset
// or --type asks for) exactly as the browser's batch export does, but goes on
// past a file that fails. Links no Qt.
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "color/SettingsKeys.h"
#include "document/ApplicationDefaults.h"
#include "document/BatchExport.h"
#include "document/DocumentController.h"
#include "document/PendingEdits.h"
#include "document/PresetManager.h"
#include "document/QuorvexErrors.h"
#include "document/RawFileSearch.h"
#include "platform/FileLock.h"
#include "platform/ImageReader.h"
#include "platform/InputFile.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/UserDefaults.h"
#include "platform/UserWarning.h"
#include "platform/Version.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void printHelp(FILE* out) {
    std::fprintf(
        out,
        "Quorvex %s - a camera-raw developer\n"
        "\n"
        "Usage: quorvex [--export] [--preset NAME] [--type TYPE] [--out DIR] [--verbose]\n"
        "               [FILE|FOLDER...]\n"
        "       quorvex --help | --version\n"
        "\n"
        "Opens each FILE as a document with its saved settings (or the \"Default\"\n"
        "preset), applies the preset NAME when given, and exports it, always the\n"
        "whole frame: a saved crop applies to File > Export in the window only.\n"
        "\n"
        "A FOLDER stands for the image files in it that the browser shows (not those\n"
        "in its sub-folders), in the browser's order (by name, numbers by value),\n"
        "less two kinds of file, passed over without a word:\n"
        "  - this program's own exports: a JPEG, TIFF or DNG file whose Software tag\n"
        "    names Quorvex and whose raw file is in the folder, by the name rule below\n"
        "    or as exports are numbered (a.jpg, a_1.jpg, a.dng, a_1.dng ... for a.NEF);\n"
        "  - a JPEG or TIFF file whose raw file is in the folder, by the name rule of\n"
        "    the raw search (IMG_0002.jpg, IMG_0002-edit.jpg ... for IMG_0002.dng),\n"
        "    its own name first (IMG_0001.jpg belongs to IMG_0001.dng, not IMG.dng):\n"
        "    a camera's JPEG beside its raw file, an editor's copy. The raw file is\n"
        "    developed in the same run, and its export never replaces the JPEG:\n"
        "    beside IMG_0001.jpg the export of IMG_0001.dng is IMG_0001_1.jpg.\n"
        "A file named on the command line is always tried; a JPEG or TIFF file is\n"
        "then developed from its raw file in the raw search folder.\n"
        "\n"
        "  --export       develop and export the files (the only action; may be left out)\n"
        "  --preset NAME  apply the preset called NAME to every file\n"
        "  --type TYPE    write this file type instead of the preset's export type:\n"
        "                   jpeg            JPEG\n"
        "                   tiff            16-bit TIFF\n"
        "                   dng             DNG\n"
        "                   exr             OpenEXR, half float, RGB\n"
        "                   exr-rgba        OpenEXR, half float, RGBA\n"
        "                   exr-float       OpenEXR, 32-bit float, RGB\n"
        "                   exr-float-rgba  OpenEXR, 32-bit float, RGBA\n"
        "  --out DIR      write into DIR (made when missing) instead of beside each\n"
        "                 source file\n"
        "  --verbose      print the program's log on standard error\n"
        "  --help         show this text\n"
        "  --version      show the program's version\n"
        "\n"
        "Without --type the file type is the preset's export type, JPEG when it has\n"
        "none. Of the factory presets, \"Default\", \"Monochrome\" and \"Zero'd\" export\n"
        "JPEG and \"Default TIFF export\" exports 16-bit TIFF.\n"
        "\n"
        "Each output is named after its source with the type's extension; when that\n"
        "name exists it becomes NAME_1, NAME_2 ... unless the user default\n"
        "\"SilentlyOverwrite\" is set. A source file is never overwritten. So a\n"
        "second run over a folder writes a_1.jpg beside a.jpg, a third a_2.jpg;\n"
        "with \"SilentlyOverwrite\" each run replaces a.jpg when an earlier run wrote\n"
        "it; a file another program made (a camera's JPEG, a raw file) is never\n"
        "replaced, the next number is taken. A name differing from\n"
        "an existing file's only in letter case (or Unicode normalisation) counts as\n"
        "taken, with or without it: beside the camera's IMG_0001.JPG the export is\n"
        "IMG_0001_1.jpg, as memory cards and other systems take the two for one.\n"
        "\n"
        "With no FILE, the bundled sample (a 24-megapixel test chart DNG made by the\n"
        "build) is developed into the current folder (or DIR).\n"
        "\n"
        "Prints the path of every file written. On a terminal a progress bar with\n"
        "the file's name is drawn on standard error. Every file is tried, in order;\n"
        "each one that fails gets one line on standard error, \"quorvex: FILE: REASON\",\n"
        "and the run goes on with the next. Photo CD (.pcd) files are shown by the\n"
        "browser only and fail here. A warning that changes a result (a tag,\n"
        "preset, catalog entry or camera profile set aside) is one line too,\n"
        "\"quorvex: warning: TEXT\".\n"
        "\n"
        "The program's log (the details of what it did) is appended to\n"
        "$XDG_STATE_HOME/Quorvex/quorvex.log (~/.local/state/Quorvex/quorvex.log when\n"
        "XDG_STATE_HOME is not set), or printed on standard error with --verbose.\n"
        "\n"
        "Exit status: 0 all files written, 1 a file failed or the preset NAME is\n"
        "damaged, 2 wrong usage.\n",
        platform::kProgramVersion);
}

// The value of "Quorvex_ExportFileType" each --type name stands for.
std::optional<int> exportFileTypeNamed(const std::string& name) {
    static const std::pair<const char*, int> kTypes[] = {
        {"jpeg", 0},     {"tiff", 1},      {"dng", 2},           {"exr", 4},
        {"exr-rgba", 3}, {"exr-float", 6}, {"exr-float-rgba", 5}};
    for (const auto& [typeName, value] : kTypes)
        if (name == typeName) return value;
    return std::nullopt;
}

std::optional<std::filesystem::path> bundledSample() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        auto beside = exe.parent_path() / "sample" / "QuorvexTestChart.dng";
        if (std::filesystem::exists(beside, ec)) return beside;
    }
#ifdef QUORVEX_SAMPLE_PATH
    if (std::filesystem::exists(QUORVEX_SAMPLE_PATH, ec))
        return std::filesystem::path(QUORVEX_SAMPLE_PATH);
#endif
    return std::nullopt;
}

// A path as one line of text: control characters (a newline in a file name)
// are written as escapes.
std::string oneLine(const std::filesystem::path& path) {
    std::string out;
    for (const char c : path.string()) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7F) {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02X", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    return out;
}

// When the raw file of an edited JPEG or TIFF is not found, the document's
// advice is the window's Preferences; here say what is wrong with the file.
std::string commandLineReason(const std::filesystem::path& source, const platform::Error& error) {
    // Whatever failed, a file that is none, or that cannot be read, is said
    // to be what it is before anything calls it damaged.
    if (auto special = RawFileSearch::notARegularFile(source)) return *special;
    if (auto unreadable = platform::whyUnreadable(source)) return *unreadable;
    if (error.domain != platform::QuorvexErrorDomain ||
        (error.code != kQuorvexErrorNoRawSearchLocation &&
         error.code != kQuorvexErrorRawFileNotFound))
        return error.failureReason;
    if (auto misnamed = RawFileSearch::misnamedContents(source)) return *misnamed;
    const std::string extension = source.extension().string();
    const auto named =
        platform::imageTypeForExtension(extension.empty() ? "" : extension.substr(1));
    if (named && !platform::imageTypeOfContents(source))
        return "its name says it is " + RawFileSearch::kindOfImage(*named) + ", but it is not one.";
    const std::string edited = RawFileSearch::kindOfImage(named.value_or("")) +
                               " is developed from the raw file it was made from";
    const auto folder = RawFileSearch::rawSearch();
    if (!folder)
        return edited +
               ", found in the raw search folder, and no raw search folder is set (the window "
               "program, quorvex-gui, sets it in its Preferences).";
    return edited + ", and no raw file of its name is in the raw search folder " +
           oneLine(*folder) + " (the window program, quorvex-gui, sets it in its Preferences).";
}

// A bar with the file's name, redrawn in place on a terminal. While it is
// shown, log lines meant for stderr are held and printed above it at the next
// redraw, so the two never share a line.
class ProgressBar {
public:
    ProgressBar(size_t total, bool holdLogLines)
        : total_(total), enabled_(::isatty(STDERR_FILENO) == 1) {
        if (enabled_ && holdLogLines) capture_.emplace();
    }

    void show(size_t done, const std::string& name) {
        if (!enabled_) return;
        constexpr int kWidth = 30;
        const int filled = total_ ? static_cast<int>(kWidth * done / total_) : kWidth;
        std::string bar(static_cast<size_t>(filled), '#');
        bar.append(static_cast<size_t>(kWidth - filled), '-');
        clear();
        std::fprintf(stderr, "[%s] %zu/%zu %s", bar.c_str(), done, total_, name.c_str());
        std::fflush(stderr);
        drawn_ = true;
    }
    // Removes the bar and prints the log lines held meanwhile.
    void clear() {
        if (!enabled_) return;
        if (drawn_) std::fprintf(stderr, "\r\033[K");
        drawn_ = false;
        if (capture_) {
            const auto lines = capture_->lines();
            capture_->clear();
            for (const auto& line : lines) std::fprintf(stderr, "%s\n", line.c_str());
        }
        std::fflush(stderr);
    }

private:
    size_t total_;
    bool enabled_;
    bool drawn_ = false;
    std::optional<platform::LogCapture> capture_;
};

int run(int argc, char** argv) {
    // A file-size limit (ulimit -f) fails the write that passes it with
    // EFBIG, told for that file; the signal would end the whole run.
    std::signal(SIGXFSZ, SIG_IGN);
#ifdef __GLIBC__
    // Scratch blocks below the image buffers' size (per-thread tables and
    // rows) are reused from the heap rather than mapped afresh, and freed
    // heap is kept up to 64 MB: a develop asks for the same again at once.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif
    std::optional<std::string> presetName;
    std::optional<int> exportFileType;
    std::optional<std::filesystem::path> outDir;
    std::vector<std::filesystem::path> arguments;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            printHelp(stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("%s %s\n", platform::kProgramName, platform::kProgramVersion);
            return 0;
        } else if (arg == "--export") {
            continue;
        } else if (arg == "--verbose") {
            verbose = true;
        } else if (arg == "--preset" || arg == "--out" || arg == "--type") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "quorvex: %s needs a value (see --help)\n", arg.c_str());
                return kExitUsage;
            }
            const std::string value = argv[++i];
            if (arg == "--preset") {
                presetName = value;
            } else if (arg == "--out") {
                outDir = value;
            } else if (!(exportFileType = exportFileTypeNamed(value))) {
                std::fprintf(stderr, "quorvex: unknown type %s (see --help)\n", value.c_str());
                return kExitUsage;
            }
        } else if (arg == "--") {
            for (++i; i < argc; ++i) arguments.emplace_back(argv[i]);
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "quorvex: unknown option %s (see --help)\n", arg.c_str());
            return kExitUsage;
        } else {
            arguments.emplace_back(arg);
        }
    }

    // The log is for whoever looks into it later; the terminal gets the
    // written paths, the progress and one line per failure.
    if (!verbose) {
        // logToFile makes the folder; a failure is told below, once.
        const auto logFile = platform::stateDirectory(false) / "quorvex.log";
        std::string whyNot;
        if (!platform::logToFile(logFile, &whyNot)) {
            std::fprintf(stderr,
                         "quorvex: warning: the log cannot be kept: %s; this run's log is "
                         "dropped\n",
                         oneLine(whyNot).c_str());
            platform::discardLog();
        }
    }

    // A warning that changes a result is the user's business, not only the
    // log's; reading the presets and the catalog already raises some.
    std::mutex warningLock;
    ProgressBar* shownBar = nullptr;
    platform::setUserWarningHandler([&](const std::string& warning) {
        std::lock_guard lock(warningLock);
        if (shownBar) shownBar->clear();
        std::fprintf(stderr, "quorvex: warning: %s\n", warning.c_str());
        std::fflush(stderr);
    });
    struct RemoveWarningHandler {
        ~RemoveWarningHandler() { platform::setUserWarningHandler(nullptr); }
    } removeWarningHandlerOnReturn;

    if (arguments.empty()) {
        auto sample = bundledSample();
        if (!sample) {
            std::fprintf(stderr,
                         "quorvex: the bundled sample is missing; build the quorvex "
                         "target again\n");
            return kExitFailed;
        }
        arguments.push_back(*sample);
        if (!outDir) outDir = std::filesystem::current_path();
    }
    if (outDir) {
        std::error_code ec;
        if (std::filesystem::exists(*outDir, ec) && !std::filesystem::is_directory(*outDir, ec)) {
            std::fprintf(stderr, "quorvex: %s exists and is not a folder\n",
                         oneLine(*outDir).c_str());
            return kExitUsage;
        }
        if (!std::filesystem::create_directories(*outDir, ec) && ec) {
            std::fprintf(stderr, "quorvex: the folder %s cannot be made: %s\n",
                         oneLine(*outDir).c_str(), ec.message().c_str());
            return kExitUsage;
        }
        outDir = std::filesystem::absolute(*outDir, ec);
    }

    // Edits a window could not save when it last ended go into the catalog
    // before anything reads it; those it cannot take yet are read from
    // where they are kept, which the person is told in one line.
    if (const auto merged = PendingEdits::merge(platform::FileLock::waitLimit());
        merged.left > 0 || merged.older > 0)
        platform::warnUser(merged.told +
                           (merged.left > 0 ? " This run exports with those edits." : ""));

    // Also registers the defaults the browser's file filter reads.
    auto& controller = DocumentController::sharedDocumentController();
    (void)controller;
    BatchExport::Options options;
    bool anyFailed = false;
    for (const auto& argument : arguments) {
        std::error_code ec;
        if (!std::filesystem::is_directory(argument, ec)) {
            options.files.push_back(argument);
            continue;
        }
        const auto inFolder = BatchExport::imageFilesInFolder(argument);
        if (inFolder.empty()) {
            const auto unreadable = platform::whyFolderUnreadable(argument);
            std::fprintf(stderr, "quorvex: %s: %s\n", oneLine(argument).c_str(),
                         unreadable ? unreadable->c_str() : "the folder holds no image files");
            anyFailed = true;
        }
        // An earlier run's exports are not raw files to develop again, and
        // a JPEG or TIFF file beside its raw file (the camera's own, an
        // editor's) needs no raw search: the raw file is developed in this run.
        for (auto& file : BatchExport::filesToDevelop(inFolder))
            options.files.push_back(std::move(file));
    }
    options.exportLocation = outDir;
    if (presetName) {
        platform::Error damaged;
        // A name no file could have is told at once, whoever keeps the folder.
        auto& presets = PresetManager::sharedPresetManager();
        if (presets.couldHavePresetNamed(*presetName))
            options.preset = presets.presetNamed(*presetName, &damaged);
        if (!options.preset && !damaged.failureReason.empty()) {
            // The name is right; the file is not.
            std::string reason = damaged.failureReason;
            reason[0] = char(std::tolower(static_cast<unsigned char>(reason[0])));
            std::fprintf(stderr, "quorvex: %s\n", oneLine(reason).c_str());
            return kExitFailed;
        }
        if (!options.preset) {
            // A damaged file whose name is lost may be the one meant: said
            // at every run, since only the first run's warning named it.
            std::string kept;
            for (const auto& copy : PresetManager::sharedPresetManager().damagedCopiesWithoutName())
                kept += (kept.empty() ? "" : ", ") + ("\"" + oneLine(copy) + "\"");
            if (!kept.empty())
                kept =
                    "; damaged preset files whose names cannot be read are kept, and one may "
                    "have been it: " +
                    kept;
            std::fprintf(stderr, "quorvex: there is no preset named \"%s\"%s\n",
                         presetName->c_str(), kept.c_str());
            return kExitUsage;
        }
    }
    if (exportFileType) {
        if (!options.preset) options.preset.emplace();
        options.preset->set(SettingsKeys::kExportFileType, *exportFileType);
    }
    options.silentlyOverwrite = platform::UserDefaults::standard().boolForKey("SilentlyOverwrite");

    ProgressBar bar(options.files.size(), verbose);
    {
        std::lock_guard lock(warningLock);
        shownBar = &bar;
    }
    size_t done = 0;
    options.progressUpdate = [&](const std::filesystem::path& source) {
        bar.show(done, oneLine(source.filename()));
    };
    options.didExport = [&](const std::filesystem::path& written) {
        ++done;
        bar.clear();
        std::printf("%s\n", written.c_str());
        std::fflush(stdout);
    };
    options.didFail = [&](const std::filesystem::path& source, const platform::Error& error) {
        ++done;
        anyFailed = true;
        bar.clear();
        // One line per failure, whatever the reason's text holds.
        std::string reason = commandLineReason(source, error);
        std::replace_if(
            reason.begin(), reason.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
        std::fprintf(stderr, "quorvex: %s: %s\n", oneLine(source).c_str(), reason.c_str());
        std::fflush(stderr);
    };

    BatchExport::run(options);
    ApplicationDefaults::cleanTemporaryFolder();
    bar.clear();
    return anyFailed ? kExitFailed : 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        // Each file's own shortage is its failure line; this is what is left.
        std::fprintf(stderr, "quorvex: there is not enough memory to go on\n");
        return kExitFailed;
    }
}
