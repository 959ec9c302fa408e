// tapsound as a command-line tool and as installed: into a prefix, below DESTDIR, as a .deb.
#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/support/private_session.h"

namespace tapsound::test {
namespace {

int sh(const std::string& command) { return run({"sh", "-c", command}); }

TEST(CommandLine, AnswersAsALinuxToolWithoutStartingAndNamesOnlyItsOwnOptions) {
    const std::tuple<const char*, const char*, int> cases[] = {
        {"--help", "TAPSOUND_KEYS", 0},
        {"-v", "tapsound 0.1.0\n", 0},
        {"--bogus", "Unknown option 'bogus'", 2},
        {"-x a.wav", "Unknown option 'x'.\nTry", 2}};
    for (const auto& [arguments, says, status] : cases) {  // with no display, a start would fail
        const std::string command = "env -u DISPLAY " TAPSOUND_BINARY " " + std::string(arguments);
        EXPECT_NE(capture(command + " 2>&1").find(says), std::string::npos) << arguments;
        EXPECT_EQ(sh(command), status) << arguments;
    }
    EXPECT_EQ(capture(TAPSOUND_BINARY " -h | grep -oE '(^| )--?[a-z]+' | sort -u | tr -d '\\n'"),
              " --help --version -h -v");
}

// The installed program names its own help page, sets and rule, which exist; the desktop file,
// icon, metainfo (valid) and man page (without warnings) are in place.
TEST(Install, IntoAPrefixOrBelowDestdirFindsItsOwnDataAndShipsValidMetadata) {
    TempDir dir;
    for (const std::string& root : {dir.file("prefix"), dir.file("dest/usr")}) {
        const bool destdir = root.find("/dest/") != std::string::npos;
        ASSERT_EQ(
            sh((destdir ? "DESTDIR=" + dir.file("dest") : "") +
               " cmake --install " TAPSOUND_BUILD_DIR " --prefix " + (destdir ? "/usr" : root)),
            0);
        const std::string share = root + "/share/",
                          named = capture(root + "/bin/tapsound -h | grep " + share);
        EXPECT_EQ(named, "  " + share + "tapsound/sets\n  " + share +
                             "tapsound/help/index.html\n  " + share +
                             "tapsound/70-tapsound-input.rules\n");
        EXPECT_EQ(sh("cd " + share +
                     " && ls tapsound/sets/Example.tapsnd/Contents/Resources/soundset.plist "
                     "tapsound/help/index.html applications/tapsound.desktop "
                     "icons/hicolor/*/*/tapsound.svg "
                     "&& appstreamcli validate --no-net metainfo/tapsound.metainfo.xml"),
                  0);
        EXPECT_EQ(capture("man --warnings -l " + share + "man/man1/tapsound.1 2>&1 > /dev/null"),
                  "");
    }
}

TEST(Package, ADebInstallsWithItsDependenciesRunsAndLeavesNothingBehind) {
    if (geteuid() != 0) GTEST_SKIP() << "installing the .deb needs root: run the suite as root";
    TempDir dir;
    const std::string deb = dir.path() + "/tapsound_*.deb";
    ASSERT_EQ(sh("cd " TAPSOUND_BUILD_DIR " && cpack -G DEB -B " + dir.path()), 0);
    EXPECT_NE(capture("dpkg-deb -I " + deb).find("libqt6widgets6 (>="), std::string::npos);
    EXPECT_NE(capture("dpkg-deb -c " + deb).find("./usr/share/tapsound/sets/Example.tapsnd/"),
              std::string::npos);
    ASSERT_EQ(sh("dpkg -i " + deb), 0);
    const std::string files = capture("dpkg -L tapsound | grep tapsound | tr '\\n' ' '");
    EXPECT_EQ(sh("cd /usr/share && ls tapsound/sets/Example.tapsnd tapsound/help/index.html "
                 "icons/hicolor/*/*/tapsound.svg applications/tapsound.desktop "
                 "metainfo/tapsound.metainfo.xml man/man1/tapsound.1"),
              0);
    EXPECT_EQ(capture("/usr/bin/tapsound --version"), "tapsound 0.1.0\n");
    EXPECT_EQ(sh("dpkg -P tapsound"), 0);
    EXPECT_EQ(capture("ls -d " + files + " 2>/dev/null"), "");
}

}  // namespace
}  // namespace tapsound::test
