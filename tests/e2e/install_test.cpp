// tapsound as a command-line tool and as installed: into a prefix, below DESTDIR, as a .deb.
#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/support/private_session.h"

namespace tapsound::test {
namespace {

int sh(const std::string& command) { return run({"sh", "-c", command}); }

// Without starting: answers, and errors told on stderr with their status.
TEST(CommandLine, AnswersAsALinuxToolWithoutStartingAndNamesOnlyItsOwnOptions) {
    const std::tuple<const char*, const char*, int> cases[] = {
        {"BIN --help", "TAPSOUND_KEYS", 0},
        {"BIN -v", "tapsound 0.1.0\n", 0},
        {"BIN --bogus", "Unknown option 'bogus'", 2},
        {"BIN -x a.wav", "Unknown option 'x'.\nTry", 2},
        {"BIN /nonexistent/nothing.wav",
         "tapsound: /nonexistent/nothing.wav: No such file or directory\n", 1},
        {"BIN", "tapsound: no display: neither DISPLAY nor WAYLAND_DISPLAY is set\n", 1},
        {"DISPLAY=:9999 BIN", "tapsound: cannot connect to X display :9999\n", 1},
        {"WAYLAND_DISPLAY=none BIN", "tapsound: cannot connect to Wayland display none: No such",
         1}};
    for (const auto& [arguments, says, status] : cases) {
        std::string command =
            std::string("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ") + arguments;
        command.replace(command.find("BIN"), 3, TAPSOUND_BINARY);
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
                     "tapsound/help/index.html icons/hicolor/*/*/tapsound.svg "
                     "doc/tapsound/copyright doc/tapsound/changelog.gz "
                     "&& appstreamcli validate --pedantic --no-net metainfo/tapsound.metainfo.xml "
                     "&& desktop-file-validate applications/tapsound.desktop"),
                  0);
        // It claims no type: double-clicking a sound or a zip must not change the key sounds.
        EXPECT_EQ(capture("grep MimeType " + share + "applications/tapsound.desktop"), "");
        const std::string man = share + "man/man1/tapsound.1.gz";
        EXPECT_EQ(capture("zcat " + man + " | mandoc -T lint 2>&1; man --warnings -l " + man +
                          " 2>&1 > /dev/null"),
                  "");
        // --help and the man page tell what the README does.
        const std::string oneLine = " | tr -s ' \\n' ' '";
        const std::string help = capture(root + "/bin/tapsound --help" + oneLine),
                          page = capture("man -l " + man + " 2>/dev/null" + oneLine);
        for (const char* told : {"TAPSOUND_AUDIO", "Mechvibes", "kernel key code", ".zip",
                                 "Scroll Lock", "autostart/tapsound.desktop", "Mechvibes/custom",
                                 "mechvibes/soundpacks/keyboard", "last one", "no display"}) {
            EXPECT_NE(help.find(told), std::string::npos) << told;
            EXPECT_NE(page.find(told), std::string::npos) << told;
        }
        // Installed, it never looks at the folder it was built in.
        EXPECT_EQ(capture("strace -f -e trace=%file " + root +
                          "/bin/tapsound --help 2>&1 >/dev/null"
                          " | grep -c " TAPSOUND_BUILD_DIR),
                  "0\n");
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
                 "metainfo/tapsound.metainfo.xml man/man1/tapsound.1.gz"),
              0);
    // Neither errors nor warnings, the hardening flags included.
    EXPECT_EQ(capture("lintian --fail-on error,warning " + deb + " 2>/dev/null || echo failed"),
              "");
    EXPECT_EQ(capture("/usr/bin/tapsound --version"), "tapsound 0.1.0\n");
    EXPECT_EQ(sh("dpkg -P tapsound"), 0);
    EXPECT_EQ(capture("ls -d " + files + " 2>/dev/null"), "");
}

}  // namespace
}  // namespace tapsound::test
