// tern-publish: the game maker's tool. It computes the checksum text of a patch, signs a patch
// (a Windows program with Authenticode, anything else with an appended signature) and verifies
// one, writes the update-information answer that announces a patch, and lays out a static site
// of patches and answers for a web server.
//
// Exit status: 0 done, 1 the work failed (or a verified file is not trusted), 2 the command
// line is wrong.

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/trust/code_signer.h"
#include "platform/trust/trust_provider.h"
#include "updatelib/transfer/patch_checksum.h"

namespace {

constexpr int kSuccess = 0;
constexpr int kFailure = 1;
constexpr int kUsageError = 2;
// Sizes are 32-bit signed in the launcher's update model.
constexpr uint64_t kMaxPatchSize = INT32_MAX;
// The answer of a game id without a patch: short enough that the launcher shows no window.
const char kNoUpdateAnswer[] = "<RESPONSE/>\n";
const char kNoUpdateFile[] = ".none.xml";

// Each command's synopsis and description, for `--help` and for `COMMAND --help`.
struct CommandHelp {
    const char* name;
    const char* text;
};
const CommandHelp kCommandHelp[] = {
    {"checksum",
     "  checksum FILE\n"
     "      the checksum text the answer carries for FILE\n"},
    {"sign",
     "  sign --key KEY.pem --cert CERT.pem [--chain CHAIN.pem] --product NAME --release N\n"
     "       IN OUT\n"
     "      writes OUT: IN signed (the certificate must allow code signing; CHAIN.pem holds\n"
     "      only certificates on its path). A Windows program (PE) gets an Authenticode\n"
     "      signature, and must not have one yet; anything else an appended signature, and\n"
     "      the launcher runs only the signed bytes, so any program, a script too, can be a\n"
     "      patch. The signature also covers the release stamp: the product NAME (the\n"
     "      launcher's ProductName, by default the game's name) and the release N (1 to\n"
     "      4294967295), which must grow with every patch of the product: a launcher runs\n"
     "      only patches of its own product whose release is above every one it has run\n"},
    {"verify",
     "  verify [--pinned TRUST.pem] FILE\n"
     "      whether FILE is signed by a trusted publisher: the system's certificate store\n"
     "      (SSL_CERT_FILE, SSL_CERT_DIR), or only the certificates of TRUST.pem, as the launcher\n"
     "      does when Resources/trust.pem exists beside it; a Windows program by the rules of\n"
     "      the Windows launcher. A trusted FILE's release stamp is printed as well\n"},
    {"answer",
     "  answer --url URL [--launcher] [--pinned TRUST.pem] PATCH\n"
     "      the update-information answer announcing PATCH at URL; --launcher: the patch\n"
     "      replaces the launcher itself, which then quits without starting the game\n"
     "  answer --none\n"
     "      the answer that announces no patch\n"
     "  answer refuses a PATCH that verify, with the same --pinned, does not trust, or that\n"
     "  has no release stamp.\n"},
    {"site",
     "  site --out DIR --base-url URL [--pinned TRUST.pem] --gid ID PATCH [--gid ID PATCH]...\n"
     "      a static tree for a web server (see server/nginx.conf): DIR/patches/ with the\n"
     "      patches, DIR/answers/ID.xml with each game id's answer and DIR/answers/.none.xml\n"
     "      for any other id, and nothing else (older patches and answers are removed); game\n"
     "      ids are letters, digits, '-' and '_'\n"
     "  site refuses a PATCH that verify, with the same --pinned, does not trust, or that\n"
     "  has no release stamp.\n"},
};
const char kExitStatus[] = "exit status: 0 done, 1 failed or not trusted, 2 wrong command line\n";

// The help of `command`, or of every command when it is empty.
std::string Usage(const std::string& command = "") {
    std::string usage = command.empty() ? "usage: tern-publish <command> [options]\n"
                                          "Prepares patches for the launcher and the "
                                          "update-information service.\n\ncommands:\n"
                                        : "usage:\n";
    for (const CommandHelp& help : kCommandHelp) {
        if (command.empty() || command == help.name) usage += help.text;
    }
    if (command.empty()) usage += "  COMMAND --help\n      that command's help\n";
    return usage + "\n" + kExitStatus;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "tern-publish: %s\n", message.c_str());
    return kFailure;
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "tern-publish: %s\n%s", message.c_str(), Usage().c_str());
    return kUsageError;
}

// A command line's words in order: (option, value) for an option, ("", word) for any other
// word; a flag has an empty value.
struct Words {
    std::vector<std::pair<std::string, std::string>> ordered;
    std::vector<std::string> positional;

    bool Has(const std::string& option) const {
        return std::any_of(ordered.begin(), ordered.end(),
                           [&](const auto& word) { return word.first == option; });
    }
    // The value of the last `option`; empty when it is missing.
    std::string Option(const std::string& option) const {
        std::string value;
        for (const auto& word : ordered) {
            if (word.first == option) value = word.second;
        }
        return value;
    }
};

// nullopt, with the problem, when an option is unknown or lacks its value.
std::optional<Words> SplitWords(const std::vector<std::string>& arguments,
                                const std::vector<std::string>& withValue,
                                const std::vector<std::string>& flags, std::string* problem) {
    Words words;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        const auto known = [&](const std::vector<std::string>& list) {
            return std::find(list.begin(), list.end(), word) != list.end();
        };
        if (known(flags)) {
            words.ordered.emplace_back(word, "");
        } else if (known(withValue)) {
            if (i + 1 == arguments.size()) {
                *problem = word + " needs a value";
                return std::nullopt;
            }
            words.ordered.emplace_back(word, arguments[++i]);
        } else if (word.compare(0, 2, "--") == 0) {
            *problem = "unknown option " + word;
            return std::nullopt;
        } else {
            words.ordered.emplace_back("", word);
            words.positional.push_back(word);
        }
    }
    return words;
}

// The size of the regular file at `path`, or a message saying why it cannot be a patch.
std::optional<uint64_t> PatchSize(const std::string& path, std::string* problem) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        *problem = path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    if (!S_ISREG(info.st_mode)) {
        *problem = path + ": not a regular file";
        return std::nullopt;
    }
    if (info.st_size <= 0 || static_cast<uint64_t>(info.st_size) > kMaxPatchSize) {
        *problem = path + ": a patch holds 1 to 2147483647 bytes";
        return std::nullopt;
    }
    return static_cast<uint64_t>(info.st_size);
}

std::string XmlEscaped(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

bool IsHttpUrl(const std::string& url) {
    return url.compare(0, 7, "http://") == 0 || url.compare(0, 8, "https://") == 0;
}

// The publishers that verify, answer and site trust: those of --pinned, as the launcher reads
// Resources/trust.pem, or the system's store.
platform::TrustAnchors Anchors(const Words& words) {
    return words.Has("--pinned") ? platform::ReadPinnedAnchors(words.Option("--pinned"))
                                 : platform::TrustAnchors{};
}

// The answer announcing `patch` at `url`, or a message saying why there is none. A patch that
// the launcher would refuse is never announced.
std::optional<std::string> PatchAnswer(const std::string& patch, const std::string& url,
                                       bool replacesLauncher, const platform::TrustAnchors& anchors,
                                       std::string* problem) {
    if (!IsHttpUrl(url)) {
        *problem = "the launcher fetches only http and https URLs: " + url;
        return std::nullopt;
    }
    const std::optional<uint64_t> size = PatchSize(patch, problem);
    if (!size) return std::nullopt;
    std::string detail;
    platform::ReleaseStamp stamp;
    if (platform::VerifyFileTrust(patch, anchors, &detail, &stamp) != platform::kTrustOk) {
        *problem = patch + ": not trusted, the launcher would refuse it: " + detail;
        return std::nullopt;
    }
    if (!stamp.Present()) {
        *problem = patch + ": has no release stamp, the launcher would refuse it: sign it with " +
                   "--product and --release";
        return std::nullopt;
    }
    const std::optional<uint32_t> checksum = Tern::ChecksumOfFile(patch);
    if (!checksum) {
        *problem = patch + ": cannot be read";
        return std::nullopt;
    }
    const auto field = [](const char* name, const std::string& value) {
        return std::string("  <") + name + "><VALUE>" + value + "</VALUE></" + name + ">\n";
    };
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<RESPONSE>\n" +
           field("PatchSize", std::to_string(*size)) + field("PatchUrl", XmlEscaped(url)) +
           field("PatchCRC", Tern::ChecksumText(*checksum)) +
           field("PatchGameUpdate", replacesLauncher ? "TRUE" : "FALSE") + "</RESPONSE>\n";
}

bool IsSafeName(const std::string& name, bool dotsAllowed) {
    if (name.empty() || name == "." || name == "..") return false;
    for (const char c : name) {
        const bool safe = std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ||
                          (dotsAllowed && c == '.');
        if (!safe) return false;
    }
    return true;
}

// Writes `bytes` to `path` through a temporary file beside it, so that a web server never
// serves half a file.
bool WriteFileAtomically(const std::string& path, const std::string& bytes) {
    const std::string temporary = path + ".part";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out.flush()) return false;
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    return !error;
}

bool CopyFileAtomically(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return !in.bad() && WriteFileAtomically(to, bytes);
}

// Removes every entry of `directory` that `kept` does not name.
bool RemoveAllBut(const std::string& directory, const std::map<std::string, std::string>& kept) {
    std::error_code error;
    std::vector<std::filesystem::path> stale;
    for (std::filesystem::directory_iterator entry(directory, error), end; !error && entry != end;
         entry.increment(error)) {
        if (!kept.count(entry->path().filename())) stale.push_back(entry->path());
    }
    for (const auto& path : stale) {
        if (!error) std::filesystem::remove_all(path, error);
    }
    return !error;
}

int Checksum(const std::vector<std::string>& arguments) {
    if (arguments.size() != 1) return UsageError("checksum takes one FILE");
    std::string problem;
    if (!PatchSize(arguments[0], &problem)) return Fail(problem);
    const std::optional<uint32_t> checksum = Tern::ChecksumOfFile(arguments[0]);
    if (!checksum) return Fail(arguments[0] + ": cannot be read");
    std::printf("%s\n", Tern::ChecksumText(*checksum).c_str());
    return kSuccess;
}

// The release number of `text`: decimal digits only, 1 to 4294967295; 0 otherwise.
uint32_t ReleaseNumber(const std::string& text) {
    if (text.empty() || text.size() > 10 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return 0;
    }
    const unsigned long long number = std::stoull(text);
    return number <= UINT32_MAX ? static_cast<uint32_t>(number) : 0;
}

int Sign(const std::vector<std::string>& arguments) {
    std::string problem;
    const std::optional<Words> words = SplitWords(
        arguments, {"--key", "--cert", "--chain", "--product", "--release"}, {}, &problem);
    if (!words) return UsageError(problem);
    if (words->Option("--key").empty() || words->Option("--cert").empty() ||
        !words->Has("--product") || !words->Has("--release") || words->positional.size() != 2) {
        return UsageError("sign needs --key, --cert, --product, --release, IN and OUT");
    }
    const platform::ReleaseStamp stamp{words->Option("--product"),
                                       ReleaseNumber(words->Option("--release"))};
    if (const std::string invalid = platform::CheckReleaseStamp(stamp); !invalid.empty()) {
        return UsageError(invalid);
    }
    const platform::SigningResult result =
        platform::SignFile(words->positional[0], words->Option("--key"), words->Option("--cert"),
                           words->Option("--chain"), words->positional[1], stamp);
    if (!result.ok) return Fail(result.error);
    return kSuccess;
}

int Verify(const std::vector<std::string>& arguments) {
    std::string problem;
    const std::optional<Words> words = SplitWords(arguments, {"--pinned"}, {}, &problem);
    if (!words) return UsageError(problem);
    if (words->positional.size() != 1) return UsageError("verify takes one FILE");
    std::string detail;
    platform::ReleaseStamp stamp;
    const uint32_t code =
        platform::VerifyFileTrust(words->positional[0], Anchors(*words), &detail, &stamp);
    if (code == platform::kTrustOk) {
        std::printf("trusted\n");
        if (stamp.Present()) {
            std::printf("product: %s\nrelease: %u\n", stamp.product.c_str(),
                        static_cast<unsigned>(stamp.release));
        } else {
            std::printf(
                "no release stamp: launchers refuse it unless built with "
                "TERN_ACCEPT_UNSTAMPED_PATCHES\n");
        }
        return kSuccess;
    }
    std::printf("not trusted: %s (0x%08x)\n", detail.c_str(), code);
    return kFailure;
}

int Answer(const std::vector<std::string>& arguments) {
    std::string problem;
    const std::optional<Words> words =
        SplitWords(arguments, {"--url", "--pinned"}, {"--launcher", "--none"}, &problem);
    if (!words) return UsageError(problem);
    if (words->Has("--none")) {
        if (words->ordered.size() != 1) {
            return UsageError("answer --none takes nothing else");
        }
        std::fputs(kNoUpdateAnswer, stdout);
        return kSuccess;
    }
    if (words->Option("--url").empty() || words->positional.size() != 1) {
        return UsageError("answer needs --url and one PATCH");
    }
    const std::optional<std::string> answer =
        PatchAnswer(words->positional[0], words->Option("--url"), words->Has("--launcher"),
                    Anchors(*words), &problem);
    if (!answer) return Fail(problem);
    std::fputs(answer->c_str(), stdout);
    return kSuccess;
}

int Site(const std::vector<std::string>& arguments) {
    std::string problem;
    const std::optional<Words> words =
        SplitWords(arguments, {"--out", "--base-url", "--gid", "--pinned"}, {}, &problem);
    if (!words) return UsageError(problem);
    const std::string out = words->Option("--out");
    std::string baseUrl = words->Option("--base-url");
    if (out.empty() || baseUrl.empty()) return UsageError("site needs --out and --base-url");
    while (!baseUrl.empty() && baseUrl.back() == '/') baseUrl.pop_back();

    // Each --gid is followed by the patch of that game id.
    std::vector<std::pair<std::string, std::string>> games;
    for (size_t i = 0; i < words->ordered.size(); ++i) {
        const auto& [option, value] = words->ordered[i];
        if (option == "--gid") {
            if (i + 1 == words->ordered.size() || !words->ordered[i + 1].first.empty()) {
                return UsageError("--gid " + value + " needs its PATCH");
            }
            if (!IsSafeName(value, false)) {
                return UsageError("a game id is letters, digits, '-' and '_': " + value);
            }
            games.emplace_back(value, words->ordered[++i].second);
        } else if (option.empty()) {
            return UsageError("a PATCH needs its --gid: " + value);
        }
    }
    if (games.empty()) return UsageError("site needs at least one --gid ID PATCH");

    // Everything is checked before the tree changes.
    const platform::TrustAnchors anchors = Anchors(*words);
    std::map<std::string, std::string> patches;  // file name in patches/: the patch
    std::map<std::string, std::string> answers;  // file name in answers/: the answer
    answers[kNoUpdateFile] = kNoUpdateAnswer;
    for (const auto& [gid, patch] : games) {
        const std::string name = std::filesystem::path(patch).filename();
        if (!IsSafeName(name, true)) {
            return Fail(patch + ": a patch's file name is letters, digits, '.', '-' and '_'");
        }
        if (!patches.emplace(name, patch).second && patches[name] != patch) {
            return Fail(patch + ": another patch has the same file name: " + patches[name]);
        }
        if (!answers.emplace(gid + ".xml", "").second) {
            return UsageError("the game id " + gid + " is named twice");
        }
        const std::optional<std::string> answer =
            PatchAnswer(patch, baseUrl + "/patches/" + name, false, anchors, &problem);
        if (!answer) return Fail(problem);
        answers[gid + ".xml"] = *answer;
    }

    std::error_code error;
    std::filesystem::create_directories(out + "/patches", error);
    std::filesystem::create_directories(out + "/answers", error);
    if (error) return Fail(out + ": " + error.message());
    for (const auto& [name, patch] : patches) {
        if (!CopyFileAtomically(patch, out + "/patches/" + name)) {
            return Fail(out + ": cannot be written");
        }
    }
    for (const auto& [name, answer] : answers) {
        if (!WriteFileAtomically(out + "/answers/" + name, answer)) {
            return Fail(out + ": cannot be written");
        }
    }
    // Stale answers go before stale patches, so that no answer ever names a missing patch.
    if (!RemoveAllBut(out + "/answers", answers) || !RemoveAllBut(out + "/patches", patches)) {
        return Fail(out + ": an older file cannot be removed");
    }
    return kSuccess;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> words(argv + std::min(argc, 1), argv + argc);
    if (words.empty()) return UsageError("a command is needed");
    const std::string command = words[0];
    const std::vector<std::string> arguments(words.begin() + 1, words.end());
    const auto asksHelp = [](const std::string& word) { return word == "--help" || word == "-h"; };
    if (asksHelp(command)) {
        std::fputs(Usage().c_str(), stdout);
        return kSuccess;
    }
    const struct {
        const char* name;
        int (*run)(const std::vector<std::string>&);
    } commands[] = {{"checksum", Checksum},
                    {"sign", Sign},
                    {"verify", Verify},
                    {"answer", Answer},
                    {"site", Site}};
    for (const auto& known : commands) {
        if (command != known.name) continue;
        if (std::any_of(arguments.begin(), arguments.end(), asksHelp)) {
            std::fputs(Usage(command).c_str(), stdout);
            return kSuccess;
        }
        return known.run(arguments);
    }
    return UsageError("unknown command " + command);
}
