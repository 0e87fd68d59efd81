// The Debian packages that scripts/build-deb.sh makes (a release and its update, built
// by the debian_packages_build step): what they hold and declare, what Debian's own
// checkers say of them, and the launcher started from an unpacked package by name, as a
// menu entry starts it, then upgraded by unpacking the update over it; started at login
// by an XDG autostart runner, unless the user has hidden its entry; and, with the
// package installed by dpkg on a private copy of this machine, its maintainer scripts
// and the systemd user units that upgrade the clients of every user's running session.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_env.h"
#include "test_env.h"
#include "build_paths.h"

namespace e2e {
namespace {

const std::string kApp = "/opt/quenvale-drive";

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool StartsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

// The package of `version` for this machine, or cross-built for i386.
std::string PackageOf(const std::string& version, const std::string& i386 = "") {
  const std::string arch = qvtest::ShellOutput("dpkg --print-architecture");
  return i386.empty() ? QV_DEB_DIR + "/quenvale-drive_" + version + "_" + arch.substr(0, arch.find('\n')) + ".deb"
                      : QV_DEB_I386_DIR + "/quenvale-drive_" + version + "_i386.deb";
}
const std::string kI386 = "i386";

// Unpacks a package into root (over what is there), as dpkg would lay it out.
void Unpack(const std::string& version, const std::string& root, const std::string& i386 = "") {
  ASSERT_EQ(qvtest::Shell("dpkg-deb -x " + Quote(PackageOf(version, i386)) + " " + Quote(root)), 0) << version;
}

// "path type mode" of every entry below dir, sorted.
std::string Listing(const std::string& dir) {
  return qvtest::ShellOutput("cd " + Quote(dir) + " && find . -mindepth 1 -printf '%P %y %m\\n' | sort");
}

// The names a Depends field asks for, alternatives included, versions dropped.
std::set<std::string> DependedOn(const std::string& field) {
  std::set<std::string> names;
  std::string name;
  bool in_version = false;
  for (char c : field + ",") {
    if (c == '(') in_version = true;
    if (c == ')') in_version = false;
    if (in_version) continue;
    if (c == ',' || c == '|' || c == ' ' || c == '\n') {
      if (!name.empty()) names.insert(name);
      name.clear();
    } else if (c != ')') {
      name += c;
    }
  }
  return names;
}

// The names of packaging/allowed-depends, each with the reason given for it.
std::map<std::string, std::string> AllowedDepends() {
  std::map<std::string, std::string> allowed;
  std::istringstream in(qvtest::ReadFile(QV_SOURCE_DIR + "/packaging/allowed-depends"));
  for (std::string name, reason; in >> name && std::getline(in, reason);) {
    if (name[0] != '#') allowed[name] = reason.substr(std::min(reason.size(), reason.find_first_not_of(' ')));
  }
  return allowed;
}

// The command that has apt resolve every allowed name: one with no package or more than
// one provider of it stops it.
std::string AptResolvesAllowed() {
  std::string names;
  for (const auto& [name, reason] : AllowedDepends()) names += " " + name;
  return "apt-get -s -o Debug::NoLocking=1 install --no-install-recommends" + names;
}

// Whether the ELF files under dir ask for no GLIBC_ symbol version above 2.35, the
// oldest target's (Debian 12 ships 2.36); some of them must ask for one.
void ExpectGlibcAtMost235(const std::string& dir) {
  const std::string highest = qvtest::ShellOutput(
      "find " + Quote(dir) + " -type f -exec objdump -T {} + 2>/dev/null | grep -o 'GLIBC_[0-9.]*' | cut -c 7- | "
      "sort -uV | tail -n 1");
  EXPECT_GE(highest.size(), 5u) << dir;
  EXPECT_EQ(qvtest::Shell("dpkg --compare-versions " + Quote(highest.substr(0, highest.find('\n'))) + " le 2.35"), 0) << highest;
}

// Width and height of a PNG, from its IHDR chunk.
std::pair<int, int> PngSize(const std::string& path) {
  const std::string png = qvtest::ReadFile(path);
  if (png.size() < 24 || png.compare(12, 4, "IHDR") != 0) return {0, 0};
  auto be32 = [&png](size_t at) {
    int v = 0;
    for (size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(png[at + i]);
    return v;
  };
  return {be32(16), be32(20)};
}

// The keys and values of a desktop entry's lines.
std::map<std::string, std::string> EntryOf(const std::string& path) {
  std::map<std::string, std::string> entry;
  for (const std::string& line : Lines(qvtest::ReadFile(path))) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) entry[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return entry;
}

// The languages the dialog speaks: the catalogues listed in the string table's source.
size_t DialogLanguages() {
  size_t count = 0;
  for (const std::string& line : Lines(qvtest::ReadFile(QV_SOURCE_DIR + "/ui-client/launcher/texts/strtab.txt"))) {
    if (StartsWith(line, "language\t")) ++count;
  }
  return count;
}

TEST(DebianPackage, HoldsTheInstallTreeAndTheDesktopFilesAndDeclaresWhatTheyNeed) {
  const std::string installed = InstallTree();
  for (const std::string version : {QV_DEB_RELEASE, QV_DEB_UPDATE}) {
    SCOPED_TRACE(version);
    const std::string deb = PackageOf(version);
    const std::string field = "dpkg-deb -f " + Quote(deb) + " ";
    EXPECT_EQ(qvtest::ShellOutput(field + "Package Version"),
              "Package: quenvale-drive\nVersion: " + version + "\n");

    // Ours, and from dpkg-shlibdeps: the libraries of the launcher, of the Qt it carries
    // and of the plug-ins, but no Qt or ICU, which change with every release.
    const std::set<std::string> depends = DependedOn(qvtest::ShellOutput(field + "Depends"));
    for (const char* name : {"fonts-liberation", "fonts-dejavu-core", "fonts-thai-tlwg", "fonts-wqy-microhei",
                             "libarchive13", "libxcb1", "libwayland-client0", "libc6"}) {
      EXPECT_EQ(depends.count(name), 1u) << name;
    }
    for (const std::string& name : depends) {
      EXPECT_FALSE(StartsWith(name, "libqt") || StartsWith(name, "qt") || StartsWith(name, "libicu")) << name;
    }
    // Only the base that every Debian-family desktop has under that name, each with its
    // reason; and no floor above what Debian 12, the oldest target, shipped.
    const std::map<std::string, std::string> allowed = AllowedDepends();
    for (const std::string& name : depends) EXPECT_EQ(allowed.count(name), 1u) << name << " is not in packaging/allowed-depends";
    for (const auto& [name, reason] : allowed) EXPECT_GE(reason.size(), 20u) << name;
    // One apt-cache call for all of them: each call reads the whole package cache.
    const std::string floors = qvtest::MakeTempDir("floors") + "/floors";
    EXPECT_EQ(qvtest::ShellOutput("export LC_ALL=C; dpkg-deb -f " + Quote(deb) + " Depends | tr , '\\n' | sed -n 's/^ *\\([^ ]*\\) (>= \\(.*\\))$/\\1 \\2/p' | "
                                  "sort >" + Quote(floors) + " && apt-cache madison $(cut -d ' ' -f 1 " + Quote(floors) + ") | "
                                  "awk -F '|' '{ gsub(/ /, \"\", $1); gsub(/ /, \"\", $2); print $1, $2 }' | sort -k1,1 -k2,2V | "
                                  "awk '!seen[$1]++' | join -a 1 " + Quote(floors) + " - | while read name floor oldest; do "
                                  "dpkg --compare-versions \"$floor\" le \"$oldest\" 2>/dev/null || echo $name $floor $oldest; done"),
              "");

    const std::string root = qvtest::MakeTempDir("root");
    Unpack(version, root);
    // Under /opt exactly what `cmake --install` lays out, less the desktop files and the
    // systemd user units, which go to /usr/share, /etc and /usr/lib, and with Qt and ICU.
    std::string expected, in_package;
    for (const std::string& line : Lines(Listing(installed))) {
      if (!StartsWith(line, "share") && !StartsWith(line, "etc") && !StartsWith(line, "lib/systemd")) {
        expected += line + "\n";
      }
    }
    for (const std::string& line : Lines(Listing(root + kApp))) {
      if (!StartsWith(line, "lib/libQt5") && !StartsWith(line, "lib/libicu") && !StartsWith(line, "lib/libdouble-conversion") &&
          !StartsWith(line, "lib/libpcre2-16") && !StartsWith(line, "lib/libmd4c")) {
        in_package += line + "\n";
      }
    }
    EXPECT_EQ(in_package, expected);
    // Of Qt and ICU exactly the libraries that its binaries and plug-ins load, each named
    // in the README's layout table.
    const std::string opt = Quote(root + kApp);
    const std::string carried = qvtest::ShellOutput("cd " + opt + "/lib && LC_ALL=C ls -d libQt5* libicu* libdouble-conversion* libpcre2-16* libmd4c*");
    EXPECT_EQ(qvtest::ShellOutput("cd " + opt + " && find bin lib -type f -exec readelf -d {} + 2>/dev/null | sed -n "
                                  "'s/^.*(NEEDED).*\\[\\(lib\\(Qt5\\|icu\\|double-conversion\\|pcre2-16\\|md4c\\).*\\)\\]$/\\1/p' | LC_ALL=C sort -u"),
              carried);
    EXPECT_GE(Lines(carried).size(), 9u) << carried;
    const std::string readme = qvtest::ReadFile(QV_SOURCE_DIR + "/README.md");
    // The platforms the launcher uses and what they need to show the dialog, each named in
    // the README's layout table: no image format (the icon is a PNG, which QtGui reads
    // itself) or any other plug-in.
    const std::string plugins = qvtest::ShellOutput("cd " + opt + "/lib/plugins && find . -mindepth 1 -not -type d | LC_ALL=C sort");
    EXPECT_EQ(plugins,
              "./platforms/libqoffscreen.so\n./platforms/libqwayland-egl.so\n./platforms/libqwayland-generic.so\n"
              "./platforms/libqxcb.so\n./wayland-decoration-client/libbradient.so\n"
              "./wayland-graphics-integration-client/libqt-plugin-wayland-egl.so\n"
              "./wayland-shell-integration/libwl-shell.so\n./wayland-shell-integration/libxdg-shell-v6.so\n"
              "./wayland-shell-integration/libxdg-shell.so\n./xcbglintegrations/libqxcb-egl-integration.so\n"
              "./xcbglintegrations/libqxcb-glx-integration.so\n");
    for (const std::string& plugin : Lines(plugins)) {
      EXPECT_NE(readme.find("`lib/plugins/" + plugin.substr(2) + "`"), std::string::npos) << plugin;
    }
    ExpectGlibcAtMost235(root);
    for (const std::string& lib : Lines(carried)) {
      EXPECT_NE(readme.find("`lib/" + lib.substr(0, lib.find(".so")) + ".so"), std::string::npos) << lib;
    }
    const std::string build = version.substr(version.rfind('.') + 1);
    EXPECT_EQ(BuildOf(root + kApp + "/INFO"), build);
    EXPECT_EQ(BuildOf(root + kApp + "/package/skylodge/INFO"), build);
    const std::string unpacked = qvtest::MakeTempDir("qvx");
    ASSERT_EQ(qvtest::Shell("bsdtar -xf " + Quote(root + kApp + "/package/skylodge.qvx") + " -C " + Quote(unpacked)), 0);
    EXPECT_EQ(BuildOf(unpacked + "/INFO"), build);

    // Outside /opt: the absolute link in /usr/bin, the desktop files, the documents.
    EXPECT_EQ(qvtest::ShellOutput("readlink " + Quote(root + "/usr/bin/quenvale-drive")), kApp + "/bin/launcher\n");
    EXPECT_EQ(qvtest::ShellOutput("cd " + Quote(root + "/usr/share") +
                                  " && find . -type f -not -path './icons/*' | sort"),
              "./applications/quenvale-drive.desktop\n"
              "./doc/quenvale-drive/changelog.gz\n"
              "./doc/quenvale-drive/copyright\n"
              "./lintian/overrides/quenvale-drive\n"
              "./man/man1/quenvale-drive.1.gz\n"
              "./metainfo/com.quenvale.drive.metainfo.xml\n");
    // The login entry, as a conffile: dpkg keeps an administrator's edit of it.
    EXPECT_EQ(qvtest::ShellOutput("cd " + Quote(root + "/etc") + " && find . -type f"),
              "./xdg/autostart/quenvale-drive.desktop\n");
    EXPECT_EQ(qvtest::ShellOutput("dpkg-deb -I " + Quote(deb) + " conffiles"),
              "/etc/xdg/autostart/quenvale-drive.desktop\n");
    EXPECT_EQ(qvtest::ShellOutput("cd " + Quote(root + "/usr/lib/systemd") + " && find . | sort"),
              ".\n./user\n./user/quenvale-drive-upgrade.path\n./user/quenvale-drive-upgrade.service\n");
    EXPECT_EQ(qvtest::ShellOutput("zcat " + Quote(root + "/usr/share/doc/quenvale-drive/changelog.gz") + " | head -n 1"),
              "quenvale-drive (" + version + ") stable; urgency=medium\n");
    const std::string icons = root + "/usr/share/icons/hicolor/";
    for (int size : {48, 64, 128, 256}) {
      const std::string px = std::to_string(size);
      EXPECT_EQ(PngSize(icons + px + "x" + px + "/apps/quenvale-drive.png"), std::make_pair(size, size)) << px;
    }
    EXPECT_NE(qvtest::ReadFile(icons + "scalable/apps/quenvale-drive.svg").find("<svg"), std::string::npos);

    // The menu entry starts the program by name and speaks every language of the dialog.
    std::map<std::string, std::string> entry = EntryOf(root + "/usr/share/applications/quenvale-drive.desktop");
    std::set<std::string> names, comments;
    for (const auto& [key, value] : entry) {
      if (StartsWith(key, "Name[")) names.insert(key.substr(4));
      if (StartsWith(key, "Comment[")) comments.insert(key.substr(7));
    }
    EXPECT_EQ(entry["Exec"], "quenvale-drive");
    EXPECT_EQ(entry["Icon"], "quenvale-drive");
    EXPECT_EQ(entry["Categories"], "Network;FileTransfer;");
    EXPECT_EQ(entry["StartupNotify"], "false");
    EXPECT_EQ(names.size(), DialogLanguages());
    EXPECT_EQ(comments, names);
    // The login entry is that entry, texts and all, out of the menu and on at login.
    std::map<std::string, std::string> login = entry;
    login["NoDisplay"] = "true";
    login["X-GNOME-Autostart-enabled"] = "true";
    EXPECT_EQ(EntryOf(root + "/etc/xdg/autostart/quenvale-drive.desktop"), login);
    EXPECT_NE(qvtest::ReadFile(root + "/usr/share/metainfo/com.quenvale.drive.metainfo.xml")
                  .find("<release version=\"" + version + "\""),
              std::string::npos);
  }
}

// Every name that the package may depend on is one that Debian 12's apt (this machine's)
// installs; the Debian 13 case asks the same of Debian 13's.
TEST(DebianPackage, EveryAllowedNameResolvesInDebian12) {
  ASSERT_EQ(qvtest::ShellOutput(". /etc/os-release && echo $VERSION_ID"), "12\n");
  const std::string log = qvtest::MakeTempDir("apt") + "/log";
  EXPECT_GE(AllowedDepends().size(), 40u);
  EXPECT_EQ(qvtest::Shell(AptResolvesAllowed() + " >" + Quote(log) + " 2>&1"), 0) << qvtest::ReadFile(log);
}

TEST(DebianPackage, LintianAndTheDesktopValidatorsAcceptIt) {
  const std::string out = qvtest::MakeTempDir("checks") + "/out";
  const std::string debs = Quote(PackageOf(QV_DEB_RELEASE)) + " " + Quote(PackageOf(QV_DEB_UPDATE));
  // One run: no errors (overridden ones aside, shown as "O: ") and nothing overridden but
  // the files under /opt and ICU's data library, which links nothing. Shown overrides
  // would fail lintian's own status, so only lintian failing to run fails it here.
  EXPECT_EQ(qvtest::Shell("lintian --fail-on none --show-overrides " + debs + " >" + Quote(out) + " 2>&1"), 0)
      << qvtest::ReadFile(out);
  for (const std::string& line : Lines(qvtest::ReadFile(out))) EXPECT_FALSE(StartsWith(line, "E: ")) << line;
  size_t overridden = 0;
  for (const std::string& line : Lines(qvtest::ReadFile(out))) {
    if (StartsWith(line, "O: ")) {
      ++overridden;
      EXPECT_TRUE(StartsWith(line, "O: quenvale-drive: dir-or-file-in-opt [opt/quenvale-drive/") ||
                  StartsWith(line, "O: quenvale-drive: shared-library-lacks-prerequisites [opt/quenvale-drive/lib/libicudata.so."))
          << line;
    }
  }
  EXPECT_GT(overridden, 0u) << qvtest::ReadFile(out);

  for (const std::string version : {QV_DEB_RELEASE, QV_DEB_UPDATE}) {
    SCOPED_TRACE(version);
    const std::string root = qvtest::MakeTempDir("root");
    Unpack(version, root);
    // The override file holds those overrides, each with its reason in comments above it.
    std::vector<std::string> rules;
    size_t reasons = 0;
    for (const std::string& line : Lines(qvtest::ReadFile(root + "/usr/share/lintian/overrides/quenvale-drive"))) {
      if (StartsWith(line, "#")) reasons += rules.size() == reasons ? 1 : 0;
      else if (!line.empty()) rules.push_back(line);
    }
    EXPECT_EQ(reasons, rules.size());
    EXPECT_EQ(rules, (std::vector<std::string>{
                         "quenvale-drive: dir-or-file-in-opt [opt/quenvale-drive/*]",
                         "quenvale-drive: shared-library-lacks-prerequisites [opt/quenvale-drive/lib/libicudata.so.*]"}));

    for (const std::string& desktop : {root + "/usr/share/applications/quenvale-drive.desktop",
                                       root + "/etc/xdg/autostart/quenvale-drive.desktop"}) {
      EXPECT_EQ(qvtest::Shell("desktop-file-validate " + Quote(desktop) + " >" + Quote(out) + " 2>&1"), 0)
          << desktop << "\n" << qvtest::ReadFile(out);
      EXPECT_EQ(qvtest::ReadFile(out), "") << desktop;
    }
    const std::string metainfo = root + "/usr/share/metainfo/com.quenvale.drive.metainfo.xml";
    EXPECT_EQ(qvtest::Shell("appstreamcli validate --no-net " + Quote(metainfo) + " >" + Quote(out) + " 2>&1"), 0)
        << qvtest::ReadFile(out);
  }
}

// The i386 package, cross-built: laid out as this machine's, its binaries and the Qt and
// ICU it carries all for i386, the same libraries depended on, and lintian as content.
TEST(DebianPackage, TheI386PackageIsLaidOutAsThisMachinesAndLintianAcceptsIt) {
  for (const std::string version : {QV_DEB_RELEASE, QV_DEB_UPDATE}) {
    SCOPED_TRACE(version);
    const std::string native = qvtest::MakeTempDir("native"), i386 = qvtest::MakeTempDir("i386");
    Unpack(version, native);
    Unpack(version, i386, kI386);
    EXPECT_EQ(Listing(i386), Listing(native));
    const std::vector<std::string> elf =
        Lines(qvtest::ShellOutput("find " + Quote(i386) + " -type f -exec file {} + | grep ': *ELF'"));
    EXPECT_GE(elf.size(), 20u);
    for (const std::string& line : elf) EXPECT_NE(line.find("ELF 32-bit LSB"), std::string::npos) << line;
    for (const std::string& line : elf) EXPECT_NE(line.find("Intel 80386"), std::string::npos) << line;
    const std::string depends = "dpkg-deb -f " + Quote(PackageOf(version, kI386)) + " Depends";
    EXPECT_EQ(DependedOn(qvtest::ShellOutput(depends)),
              DependedOn(qvtest::ShellOutput("dpkg-deb -f " + Quote(PackageOf(version)) + " Depends")));
    ExpectGlibcAtMost235(i386);
  }
  const std::string out = qvtest::MakeTempDir("checks") + "/out";
  const std::string debs = Quote(PackageOf(QV_DEB_RELEASE, kI386)) + " " + Quote(PackageOf(QV_DEB_UPDATE, kI386));
  EXPECT_EQ(qvtest::Shell("lintian --fail-on error,warning " + debs + " >" + Quote(out) + " 2>&1"), 0)
      << qvtest::ReadFile(out);
}

class InstalledPackage : public E2eTest {
 protected:
  // Runs `program` in a private mount namespace where root's opt/quenvale-drive is
  // /opt/quenvale-drive (on a tmpfs over /opt, so nothing is created on the real /opt),
  // with root/usr/bin first in PATH and every log level raised. `tracer`, when given,
  // runs the program (the words before its path).
  LaunchOptions InPackageRoot(const std::string& root, const Home& home, const std::string& program,
                              const std::string& tracer = "") {
    SetAllLevels(root + kApp, 7);
    LaunchOptions options = SpecFor(root, home);
    options.wrapper = {"unshare", "--mount", "--propagation", "private"};
    if (::geteuid() != 0) options.wrapper.push_back("--map-root-user");
    options.wrapper.insert(options.wrapper.end(),
                           {"sh", "-c",
                            "mount -t tmpfs -o mode=0755 qv-opt /opt && mkdir /opt/quenvale-drive && "
                            "mount --bind \"$1\" /opt/quenvale-drive && shift && exec " + tracer + " \"$@\"",
                            "sh", root + kApp});
    options.program = program;
    const char* path = std::getenv("PATH");
    options.env["PATH"] = root + "/usr/bin:" + (path ? path : "/usr/bin:/bin");
    if (!tracer.empty()) {
      // LeakSanitizer cannot work under a tracer.
      const char* asan = std::getenv("ASAN_OPTIONS");
      options.env["ASAN_OPTIONS"] = std::string(asan != nullptr ? asan : "") + ":detect_leaks=0";
    }
    return options;
  }

  // Starts root/usr/bin/quenvale-drive by name through PATH, as a menu entry does.
  LaunchResult RunByName(const std::string& root, const Home& home) {
    LaunchResult r = RunLauncher(InPackageRoot(root, home, "quenvale-drive"));
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << "signal " << r.term_signal << "\nstderr:\n" << r.err;
    return r;
  }

  // A login on `display`: dex, standing in for the session manager, runs the entries of
  // the user's autostart folder and of root's etc/xdg, the user's first, and reports
  // what it runs. The client's start script lingers for a while after the client is up,
  // so that the launcher, which waits for it, is still there to be looked at.
  LaunchResult LogIn(const std::string& root, const Home& home, const std::string& display) {
    LaunchOptions options = InPackageRoot(root, home, "dex");
    options.args = {"--autostart", "--environment", "GNOME", "--verbose"};
    options.env["XDG_CONFIG_DIRS"] = root + "/etc/xdg";
    options.env["XDG_CURRENT_DESKTOP"] = std::string("GNOME");
    options.env["DISPLAY"] = display;
    options.env["QT_QPA_PLATFORM"] = std::nullopt;
    options.env["XAUTHORITY"] = std::nullopt;
    options.env["QV_SAMPLE_START_DELAY"] = std::string("2");
    LaunchResult dex = RunLauncher(options);
    EXPECT_FALSE(dex.timed_out);
    EXPECT_EQ(dex.exit_code, 0) << dex.out << dex.err;
    return dex;
  }

  // Follows the launcher that a login started to its end (dex leaves it to this
  // process, the sub-reaper; its first line in the log after `lines_before` names it),
  // looking at the display all along; *windows is the most windows titled `title` seen.
  LaunchResult FollowLoginLauncher(const Home& home, size_t lines_before, const std::string& display,
                                   const std::string& title, size_t* windows) {
    *windows = 0;
    pid_t pid = 0;
    for (int i = 0; i < 3000; ++i) {
      *windows = std::max(*windows, WindowsTitled(display, title));
      if (pid == 0) {
        const std::vector<LogLine> log = ReadLog(home.path);
        if (log.size() > lines_before) pid = log[lines_before].pid;
      }
      ReapEnded();
      if (pid != 0 && ::kill(pid, 0) != 0) break;
      ::usleep(20000);
    }
    if (pid == 0) {
      ADD_FAILURE() << "the login started no launcher";
      return LaunchResult();
    }
    LaunchResult r = WaitLauncher(pid);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << "signal " << r.term_signal;
    return r;
  }

  // How many windows on `display` carry the title `title`, less Qt's client leader: a
  // 1x1 window that is never shown, which carries the application's display name.
  size_t WindowsTitled(const std::string& display, const std::string& title) {
    size_t count = 0;
    for (const std::string& line : Lines(qvtest::ShellOutput("DISPLAY=" + display + " xwininfo -root -tree"))) {
      if (line.find("\"" + title + "\"") != std::string::npos && line.find(" 1x1+") == std::string::npos) ++count;
    }
    return count;
  }
};

TEST_F(InstalledPackage, StartsByNameInstallsTheClientAndUpgradesItWithTheUpdate) {
  const std::string root = qvtest::MakeTempDir("root");
  const Home& home = AddHome("home");
  const std::string app = AppFolder(home.path);
  const std::string release = std::string(QV_DEB_RELEASE).substr(std::string(QV_DEB_RELEASE).rfind('.') + 1);
  const std::string update = std::string(QV_DEB_UPDATE).substr(std::string(QV_DEB_UPDATE).rfind('.') + 1);

  Unpack(QV_DEB_RELEASE, root);
  LaunchResult first = RunByName(root, home);
  // The folders used are the real ones behind the link, not derived from its name.
  EXPECT_EQ(first.out, "lib path = '" + kApp + "/lib/plugins'\n");
  std::vector<LogLine> lines = LinesOf(ReadLog(home.path), first.pid);
  EXPECT_TRUE(InOrder(lines, {{"INFO", ">>> root_resource_path = " + kApp},
                              {"DEBUG", "source version = 0, target version = " + release},
                              {"INFO", "user installation is ready, removing backup app"},
                              {"DEBUG", "done"}}));
  EXPECT_EQ(BuildOf(app + "/INFO"), release);
  const pid_t old_client = ClientPid(home.path);
  EXPECT_TRUE(IsClientAlive(old_client));

  // The update unpacked over the release, as dpkg upgrades it. The user's environment
  // names a folder of libraries with the names of the system's Qt and ICU, each of which
  // ends the process that loads it, and plug-in folders: the launcher loads none of
  // them, and leaves that environment to the client.
  Unpack(QV_DEB_UPDATE, root);
  const std::string other_qt = qvtest::MakeTempDir("other-qt");
  ASSERT_EQ(qvtest::Shell("cd /usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH) && for lib in $(ls | grep -E "
                          "'^lib(Qt5(Core|Gui|Widgets|DBus|XcbQpa|WaylandClient)|icu(uc|i18n|data))[.]so[.][0-9]+$'); "
                          "do printf '#include <unistd.h>\\nstatic void __attribute__((constructor)) end(void) { "
                          "_exit(86); }\\n' | cc -shared -fPIC -x c -o " + Quote(other_qt) +
                          "/$lib -Wl,-soname,$lib - || exit 1; done && ls " + Quote(other_qt) + " | grep -q libQt5Core"),
            0);
  const std::map<std::string, std::string> user_env = {
      {"LD_LIBRARY_PATH", other_qt}, {"QT_PLUGIN_PATH", other_qt}, {"QT_QPA_PLATFORM_PLUGIN_PATH", other_qt}};
  LaunchOptions options = InPackageRoot(root, home, "quenvale-drive");
  for (const auto& [key, value] : user_env) options.env[key] = value;
  LaunchResult second = RunLauncher(options);
  EXPECT_EQ(second.exit_code, 0) << "signal " << second.term_signal << "\nstderr:\n" << second.err;
  lines = LinesOf(ReadLog(home.path), second.pid);
  EXPECT_TRUE(InOrder(lines, {{"DEBUG", "source version = " + release + ", target version = " + update},
                              {"DEBUG", "local appdata exist"},
                              {"INFO", "user installation is ready, removing backup app"},
                              {"DEBUG", "done"}}));
  EXPECT_EQ(BuildOf(app + "/INFO"), update);
  const pid_t new_client = ClientPid(home.path);
  EXPECT_FALSE(IsClientAlive(old_client));
  EXPECT_TRUE(IsClientAlive(new_client));
  std::string environ = qvtest::ReadFile("/proc/" + std::to_string(new_client) + "/environ");
  std::replace(environ.begin(), environ.end(), '\0', '\n');
  for (const auto& [key, value] : user_env) EXPECT_NE(environ.find("\n" + key + "=" + value + "\n"), std::string::npos) << key;

  // The system's Qt forced in with LD_PRELOAD cannot be taken out again: refused.
  StopClient(new_client);
  const std::string system_qt =
      qvtest::ShellOutput("realpath /usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/libQt5Core.so.5");
  const LaunchResult preloaded = RunLauncher(
      InPackageRoot(root, home, "quenvale-drive", "env LD_PRELOAD=" + system_qt.substr(0, system_qt.find('\n'))));
  EXPECT_EQ(preloaded.exit_code, 1) << preloaded.err;
  EXPECT_EQ(preloaded.err, "'" + system_qt.substr(0, system_qt.find('\n')) +
                               "' is loaded, not the Qt and ICU of this package in '" + kApp + "/lib': not starting\n");
  EXPECT_FALSE(IsClientAlive(ClientPid(home.path)));
}

// The update unpacked by the real tool while a user's launcher copies the release, each
// of its file copies held up: the copy is never a mix of the two.
TEST_F(InstalledPackage, AnUpdateUnpackedDuringTheCopyLeavesOneBuild) {
  if (qvtest::Shell("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
  const std::string root = qvtest::MakeTempDir("root");
  const Home& home = AddHome("home");
  const std::string app = AppFolder(home.path);
  const std::string update = std::string(QV_DEB_UPDATE).substr(std::string(QV_DEB_UPDATE).rfind('.') + 1);
  Unpack(QV_DEB_RELEASE, root);
  const pid_t launcher = StartLauncher(InPackageRoot(
      root, home, "quenvale-drive", "strace -f -b execve -qq --seccomp-bpf -o /dev/null -e trace=copy_file_range -e inject=copy_file_range:delay_enter=300000"));
  bool staging = false;
  for (int i = 0; i < 6000 && !staging; ++i) {
    staging = qvtest::Shell("ls -d '" + app + "'_staging.*/INFO >/dev/null 2>&1") == 0;
    if (!staging) ::usleep(10 * 1000);
  }
  ASSERT_TRUE(staging) << "the copy never got under way";
  // The tracer stopped, the copy cannot end before the update is unpacked.
  ::kill(launcher, SIGSTOP);
  Unpack(QV_DEB_UPDATE, root);
  ::kill(launcher, SIGCONT);
  const LaunchResult r = WaitLauncher(launcher);
  EXPECT_EQ(r.exit_code, 0) << r.err;

  // The launcher runs under the tracer: its lines are the only ones in the log.
  const std::vector<LogLine> log = ReadLog(home.path);
  const std::string package = kApp + "/package/skylodge";
  EXPECT_TRUE(InOrder(log, {{"DEBUG", "source version = 0, target version = " +
                                          std::string(QV_DEB_RELEASE).substr(std::string(QV_DEB_RELEASE).rfind('.') + 1)},
                            {"INFO", "user installation is ready, removing backup app"}}));
  bool retried = false;
  for (const LogLine& l : log) retried = retried || StartsWith(l.message, "the package '" + package + "' changed while it was copied (");
  EXPECT_TRUE(retried);
  EXPECT_EQ(BuildOf(app + "/INFO"), update);
  EXPECT_EQ(Listing(app), Listing(root + kApp + "/package/skylodge"));
  EXPECT_EQ(qvtest::Shell("diff -r " + Quote(app) + " " + Quote(root + kApp + "/package/skylodge")), 0);
  EXPECT_TRUE(IsClientAlive(ClientPid(home.path)));
}

// What a user who does not want the client at login runs, as the README gives it.
const std::string kOptOut =
    "mkdir -p ~/.config/autostart && { cat /etc/xdg/autostart/quenvale-drive.desktop; echo Hidden=true; } "
    ">~/.config/autostart/quenvale-drive.desktop";

TEST_F(InstalledPackage, StartsAtLoginWithoutAWindowWhenCurrentAndNotOnceTheUserHidesIt) {
  const std::string root = qvtest::MakeTempDir("root");
  const Home& home = AddHome("home");
  const std::string app = AppFolder(home.path);
  const std::string release = std::string(QV_DEB_RELEASE).substr(std::string(QV_DEB_RELEASE).rfind('.') + 1);
  Unpack(QV_DEB_RELEASE, root);
  const std::string title = EntryOf(root + "/usr/share/applications/quenvale-drive.desktop")["Name"];
  const std::string display = StartXvfb();
  ASSERT_FALSE(display.empty()) << "Xvfb did not start";

  // First login: the package's entry starts the launcher, which installs the user's copy
  // with its dialog on screen and starts the client from that copy.
  LaunchResult dex = LogIn(root, home, display);
  EXPECT_NE(dex.out.find("Executing command: quenvale-drive\n"), std::string::npos) << dex.out << dex.err;
  size_t windows = 0;
  FollowLoginLauncher(home, 0, display, title, &windows);
  EXPECT_EQ(windows, 1u) << title;
  pid_t client = ClientPid(home.path);
  EXPECT_TRUE(IsClientAlive(client));
  EXPECT_EQ(qvtest::ShellOutput("readlink /proc/" + std::to_string(client) + "/exe"),
            app + "/bin/cloud-drive-ui\n");
  std::vector<LogLine> log = ReadLog(home.path);
  EXPECT_TRUE(InOrder(log, {{"DEBUG", "platform = xcb"},
                            {"DEBUG", "source version = 0, target version = " + release},
                            {"INFO", "user installation is ready, removing backup app"},
                            {"DEBUG", "done"}}));
  EXPECT_EQ(BuildOf(app + "/INFO"), release);

  // The next login, after the session's client has ended with it: nothing to update, so
  // the client is started and no window is shown.
  StopClient(client);
  size_t before = log.size();
  dex = LogIn(root, home, display);
  EXPECT_NE(dex.out.find("Executing command: quenvale-drive\n"), std::string::npos) << dex.out << dex.err;
  const LaunchResult second = FollowLoginLauncher(home, before, display, title, &windows);
  EXPECT_EQ(windows, 0u) << title;
  client = ClientPid(home.path);
  EXPECT_TRUE(IsClientAlive(client));
  EXPECT_EQ(qvtest::ShellOutput("readlink /proc/" + std::to_string(client) + "/exe"),
            app + "/bin/cloud-drive-ui\n");
  log = LinesOf(ReadLog(home.path), second.pid);
  EXPECT_TRUE(InOrder(log, {{"DEBUG", "no need to upgrade"}, {"DEBUG", "done"}}));

  // The user opts out with the README's command (the package's /etc being under root
  // here): the next login starts nothing.
  ASSERT_NE(qvtest::ReadFile(QV_SOURCE_DIR + "/README.md").find(kOptOut), std::string::npos);
  std::string opt_out = kOptOut;
  opt_out.replace(opt_out.find("/etc/xdg"), 8, root + "/etc/xdg");
  ASSERT_EQ(qvtest::Shell("HOME=" + Quote(home.path) + " sh -c " + Quote(opt_out)), 0);
  StopClient(client);
  before = ReadLog(home.path).size();
  dex = LogIn(root, home, display);
  EXPECT_EQ(dex.out.find("Executing command"), std::string::npos) << dex.out;
  EXPECT_NE(dex.err.find("Ignoring file, hidden attribute is set: " + home.path +
                         "/.config/autostart/quenvale-drive.desktop\n"),
            std::string::npos)
      << dex.err;
  ::sleep(1);
  EXPECT_EQ(ReadLog(home.path).size(), before);
  EXPECT_FALSE(IsClientAlive(ClientPid(home.path)));
}

const std::string kUnitDir = "/usr/lib/systemd/user/";
const std::string kUpgradePath = "quenvale-drive-upgrade.path";
const std::string kUpgradeService = "quenvale-drive-upgrade.service";
// What a user who wants no upgrades of a running client runs, as the README gives it.
const std::string kUpgradeOptOut = "systemctl --user mask --now quenvale-drive-upgrade.path";

// The value of the first `key=` line of a unit file.
std::string UnitValue(const std::string& unit, const std::string& key) {
  for (const std::string& line : Lines(unit)) {
    if (StartsWith(line, key + "=")) return line.substr(key.size() + 1);
  }
  return "";
}

std::string ExeOf(pid_t pid) { return qvtest::ShellOutput("readlink /proc/" + std::to_string(pid) + "/exe"); }

// A user of the private machine: a uid of the range these tests may use, a home with a
// private runtime folder, and a systemd user manager once started.
struct SessionUser {
  unsigned uid = 0;
  std::string home;
  pid_t manager = 0;
};

// A private copy of this machine (private_system.sh) where dpkg installs the package for
// real and systemd user managers run for several users, each in control groups of its
// own, as on a desktop where these users are logged in. Needs root. Whatever it started
// ends with it, also when the test fails or is killed.
class PrivateMachine : public InstalledPackage {
 protected:
  void SetUp() override {
    InstalledPackage::SetUp();
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: dpkg, control groups, other users";
    group_ = "qv-package-test-" + std::to_string(::getpid());
    const std::string dir = qvtest::MakeTempDir("machine");
    const std::string out = dir + "/out", err = dir + "/err", layers = dir + "/layers";
    ASSERT_EQ(::mkdir(layers.c_str(), 0755), 0);
    const std::string system = SystemRoot();
    if (HasFailure()) return;
    const std::string script = QV_SOURCE_DIR + "/tests/packaging/private_system.sh";
    std::vector<const char*> argv = {"unshare", "--mount", "--propagation", "private", "sh",
                                     script.c_str(), layers.c_str(), group_.c_str()};
    if (!system.empty()) {
      chroot_ = layers + "/root";
      argv.push_back(system.c_str());
      argv.push_back(qvtest::SandboxRoot().c_str());
    }
    argv.push_back(nullptr);
    holder_ = ::fork();
    if (holder_ == 0) {
      // Its own session, out of reach of signals to the test's process group: it ends
      // when told to or when the test process dies, and then cleans up.
      ::setsid();
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      const int in = ::open("/dev/null", O_RDONLY);
      const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(in, 0);
      ::dup2(o, 1);
      ::dup2(e, 2);
      ::execvp(argv[0], const_cast<char* const*>(argv.data()));
      ::_exit(127);
    }
    ASSERT_GT(holder_, 0);
    std::string ready;
    for (int i = 0; i < 3000 && ready.find('\n') == std::string::npos && !HasEnded(holder_); ++i) {
      ::usleep(10000);
      ready = qvtest::ReadFile(out);
    }
    ASSERT_TRUE(StartsWith(ready, "ready")) << qvtest::ReadFile(err);
    std::istringstream words(ready.substr(5));
    for (std::string h; words >> h;) hierarchies_.push_back(h);
    ASSERT_FALSE(hierarchies_.empty()) << ready;
  }

  void TearDown() override {
    if (holder_ > 0) {
      // Not reaped yet, so the pid is still the holder's.
      if (!HasEnded(holder_)) ::kill(holder_, SIGTERM);
      const LaunchResult holder = WaitLauncher(holder_, 30000);
      EXPECT_FALSE(holder.timed_out);
      for (const std::string& h : hierarchies_) {
        EXPECT_NE(::access((h + "/" + group_).c_str(), F_OK), 0) << "left behind: " << h << "/" << group_;
      }
    }
    InstalledPackage::TearDown();
  }

  // The folder of another system that the machine is a copy of (it is one of this
  // machine when empty).
  virtual std::string SystemRoot() { return ""; }

  // A path of the private machine, as this process sees it.
  std::string MachinePath(const std::string& path) const {
    return "/proc/" + std::to_string(holder_) + "/root" + chroot_ + path;
  }

  // The words that run a program as root in the private machine.
  std::vector<std::string> InMachine() const {
    std::vector<std::string> words = {"nsenter", "-t", std::to_string(holder_), "-m", "--"};
    if (!chroot_.empty()) words.insert(words.end(), {"chroot", chroot_});
    return words;
  }

  // A shell command line that runs `command` as root in the private machine.
  std::string AsRoot(const std::string& command) const {
    std::string line;
    for (const std::string& word : InMachine()) line += Quote(word) + " ";
    return line + "sh -c " + Quote(command);
  }

  // The same as the user, in the control groups of the user's session, with only the
  // environment a session gives: home, runtime folder, PATH, language.
  std::string AsUser(const SessionUser& user, const std::string& command) const {
    return AsRoot(JoinGroups(user, "session") + "exec setpriv --reuid=" + std::to_string(user.uid) +
                  " --regid=" + std::to_string(user.uid) + " --clear-groups env -i " + SessionEnv(user) +
                  " sh -c " + Quote(command));
  }

  // How StartLauncher runs `program` as root in the private machine.
  LaunchOptions RootProcess(const std::string& program, const std::vector<std::string>& args) const {
    LaunchOptions options;
    options.wrapper = {"nsenter", "-t", std::to_string(holder_), "-m", "--"};
    options.program = program;
    options.args = args;
    return options;
  }

  int Dpkg(const std::string& args) {
    const std::string log = qvtest::MakeTempDir("dpkg") + "/log";
    const int rc = qvtest::Shell(AsRoot("dpkg " + args) + " >" + Quote(log) + " 2>&1");
    EXPECT_EQ(rc, 0) << "dpkg " << args << "\n" << qvtest::ReadFile(log);
    return rc;
  }

  // A user with a home of its own and the control groups its manager (owned by the user,
  // as a delegated one is) and its session will live in.
  SessionUser& AddUser(unsigned uid, const std::string& hint) {
    const Home& home = AddHome(hint);
    const std::string id = std::to_string(uid);
    qvtest::Shell("chown -R " + id + ":" + id + " " + Quote(home.path));
    for (const std::string& h : hierarchies_) {
      for (const char* kind : {"manager", "session"}) ::mkdir((h + "/" + group_ + "/" + kind + "-" + id).c_str(), 0755);
      qvtest::Shell("chown -R " + id + ":" + id + " " + Quote(h + "/" + group_ + "/manager-" + id));
    }
    users_.push_back({uid, home.path, 0});
    return users_.back();
  }

  // Logs the user in: a systemd user manager, up once its start-up jobs are done.
  void StartManager(SessionUser& user) {
    LaunchOptions options;
    options.wrapper = {"nsenter", "-t", std::to_string(holder_), "-m", "--", "sh", "-c",
                       JoinGroups(user, "manager") + "exec setpriv --reuid=" + std::to_string(user.uid) +
                           " --regid=" + std::to_string(user.uid) + " --clear-groups env -i " + SessionEnv(user) +
                           " \"$@\"",
                       "sh"};
    options.program = "systemd";
    options.args = {"--user"};
    user.manager = StartLauncher(options);
    // Until it listens on its socket (a former manager's may still be there), systemctl
    // fails at once.
    std::string state;
    for (int i = 0; i < 600 && state != "running\n" && state != "degraded\n" && !HasEnded(user.manager); ++i) {
      if (i > 0) ::usleep(50000);
      state = qvtest::ShellOutput(AsUser(user, "timeout 60 systemctl --user is-system-running --wait 2>&1"));
    }
    ASSERT_TRUE(state == "running\n" || state == "degraded\n") << state << WaitLauncher(user.manager, 0).err;
  }

  void StopManager(SessionUser& user) {
    if (!HasEnded(user.manager)) ::kill(user.manager, SIGTERM);
    EXPECT_FALSE(WaitLauncher(user.manager, 30000).timed_out);
    user.manager = 0;
  }

  std::string Systemctl(const SessionUser& user, const std::string& args) const {
    return qvtest::ShellOutput(AsUser(user, "systemctl --user " + args + " 2>&1"));
  }

  // The properties of the upgrade service that tell whether, how and when it ran.
  std::map<std::string, std::string> ServiceState(const SessionUser& user) const {
    std::map<std::string, std::string> state;
    for (const std::string& line :
         Lines(Systemctl(user, "show -p ActiveState -p Result -p ExecMainStatus -p ExecMainStartTimestampMonotonic " +
                                   kUpgradeService))) {
      const size_t eq = line.find('=');
      if (eq != std::string::npos) state[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return state;
  }

  // The service's state once a run that started after `started_before` (its last start,
  // a monotonic stamp) has ended; the state as it is after 60 s otherwise.
  std::map<std::string, std::string> WaitForServiceRun(const SessionUser& user, const std::string& started_before = "0") {
    std::map<std::string, std::string> state;
    for (int i = 0; i < 600; ++i) {
      state = ServiceState(user);
      if (state["ExecMainStartTimestampMonotonic"] != started_before &&
          (state["ActiveState"] == "inactive" || state["ActiveState"] == "failed")) {
        break;
      }
      ::usleep(100000);
    }
    return state;
  }

  // A user without a display gets the first install of the installed release, then a
  // start with nothing to do; `install_update` installs the update, and the next start
  // stops the old client and leaves a copy equal to the update's package.
  void UserInstallsStartsAndUpgrades(SessionUser& user, const std::function<int()>& install_update) {
    const std::string release = std::string(QV_DEB_RELEASE).substr(std::string(QV_DEB_RELEASE).rfind('.') + 1);
    const std::string update = std::string(QV_DEB_UPDATE).substr(std::string(QV_DEB_UPDATE).rfind('.') + 1);
    const std::string app = AppFolder(user.home);
    SetAllLevels(MachinePath(kApp), 7);
    ASSERT_EQ(qvtest::Shell(AsUser(user, "quenvale-drive >/dev/null 2>&1")), 0);
    EXPECT_TRUE(InOrder(ReadLog(user.home), {{"WARNING", "no display could be opened (DISPLAY=''), running without a window"},
                                             {"DEBUG", "source version = 0, target version = " + release},
                                             {"INFO", "user installation is ready, removing backup app"}}));
    pid_t client = ClientPid(user.home);
    EXPECT_TRUE(IsClientAlive(client));
    StopClient(client);
    const size_t before = ReadLog(user.home).size();
    ASSERT_EQ(qvtest::Shell(AsUser(user, "quenvale-drive >/dev/null 2>&1")), 0);
    const std::vector<LogLine> log = ReadLog(user.home);
    EXPECT_TRUE(InOrder(std::vector<LogLine>(log.begin() + std::min(before, log.size()), log.end()),
                        {{"DEBUG", "no need to upgrade"}, {"DEBUG", "done"}}));
    client = ClientPid(user.home);
    EXPECT_TRUE(IsClientAlive(client));

    ASSERT_EQ(install_update(), 0);
    SetAllLevels(MachinePath(kApp), 7);
    ASSERT_EQ(qvtest::Shell(AsUser(user, "quenvale-drive >/dev/null 2>&1")), 0);
    EXPECT_FALSE(IsClientAlive(client));
    EXPECT_TRUE(IsClientAlive(ClientPid(user.home)));
    EXPECT_EQ(BuildOf(app + "/INFO"), update);
    EXPECT_EQ(qvtest::Shell("diff -r " + Quote(app) + " " + Quote(MachinePath(kApp + "/package/skylodge"))), 0);
  }

 private:
  std::string JoinGroups(const SessionUser& user, const std::string& kind) const {
    std::string join;
    for (const std::string& h : hierarchies_) {
      join += "echo $$ >" + Quote(h + "/" + group_ + "/" + kind + "-" + std::to_string(user.uid) + "/cgroup.procs") + " && ";
    }
    return join;
  }

  static std::string SessionEnv(const SessionUser& user) {
    return "HOME=" + Quote(user.home) + " XDG_RUNTIME_DIR=" + Quote(user.home + "/.run") +
           " PATH=/usr/bin:/bin LANG=C.UTF-8";
  }

  pid_t holder_ = 0;
  std::string chroot_;  // the other system's root in the holder's mount namespace
  std::string group_;
  std::vector<std::string> hierarchies_;  // control-group hierarchies, each with group_
  std::deque<SessionUser> users_;  // deque: AddUser hands out references
};

// What dpkg's runs of the maintainer scripts leave for systemd: the path unit enabled
// for every user on install, masked on removal (so that a reinstall enables it again),
// an administrator's disabling kept through an upgrade, nothing left after a purge, and
// the same on a machine without systemd. systemd's own checker accepts the units as
// installed.
TEST_F(PrivateMachine, MaintainerScriptsEnableTheUserUnitForEveryoneUntilThePurge) {
  const std::string wants = "/etc/systemd/user/paths.target.wants/" + kUpgradePath;
  const std::string mask = "/etc/systemd/user/" + kUpgradePath;
  auto link = [this](const std::string& path) { return qvtest::ShellOutput("readlink " + Quote(MachinePath(path))); };

  ASSERT_EQ(Dpkg("-i " + Quote(PackageOf(QV_DEB_RELEASE))), 0);
  EXPECT_EQ(link(wants), kUnitDir + kUpgradePath + "\n");
  EXPECT_EQ(link(mask), "");
  // The service runs the installed launcher with its one option, once dpkg has
  // configured the package.
  const std::string stamp = UnitValue(qvtest::ReadFile(MachinePath(kUnitDir + kUpgradePath)), "PathChanged");
  EXPECT_EQ(stamp, "/var/lib/quenvale-drive/configured");
  EXPECT_EQ(::access(MachinePath(stamp).c_str(), F_OK), 0);
  EXPECT_EQ(UnitValue(qvtest::ReadFile(MachinePath(kUnitDir + kUpgradeService)), "ExecStart"),
            kApp + "/bin/launcher --upgrade-running");
  const std::string out = qvtest::MakeTempDir("verify") + "/out";
  EXPECT_EQ(qvtest::Shell(AsRoot("systemd-analyze --user verify " + kUnitDir + kUpgradePath + " " + kUnitDir +
                                 kUpgradeService) +
                          " >" + Quote(out) + " 2>&1"),
            0)
      << qvtest::ReadFile(out);
  EXPECT_EQ(qvtest::ReadFile(out), "");

  ASSERT_EQ(Dpkg("-r quenvale-drive"), 0);
  EXPECT_EQ(link(mask), "/dev/null\n");
  ASSERT_EQ(Dpkg("-i " + Quote(PackageOf(QV_DEB_RELEASE))), 0);
  EXPECT_EQ(link(mask), "");
  EXPECT_EQ(link(wants), kUnitDir + kUpgradePath + "\n");

  ASSERT_EQ(qvtest::Shell(AsRoot("systemctl --global disable " + kUpgradePath + " 2>/dev/null")), 0);
  ASSERT_EQ(Dpkg("-i " + Quote(PackageOf(QV_DEB_UPDATE))), 0);
  EXPECT_EQ(link(wants), "");

  ASSERT_EQ(Dpkg("-P quenvale-drive"), 0);
  EXPECT_EQ(qvtest::ShellOutput(AsRoot("find /etc/systemd /var/lib/systemd /var/lib/quenvale-drive "
                                       "-name '*quenvale*' 2>/dev/null")),
            "");

  // Without systemd's tools the helper makes the link itself (through /lib, the same
  // folder), and the package installs as before.
  ASSERT_EQ(qvtest::Shell(AsRoot("rm /usr/bin/systemctl")), 0);
  ASSERT_EQ(Dpkg("-i " + Quote(PackageOf(QV_DEB_RELEASE))), 0);
  EXPECT_EQ(qvtest::ShellOutput(AsRoot("readlink -f " + wants)), kUnitDir + kUpgradePath + "\n");
}

// Four users are logged in with a client from the release's copy, except the second,
// whose client has ended, and the third, who opted out with the README's command before
// logging in again. dpkg installs the update: the first user's client soon runs from the
// update's copy, started by the user service, which it outlives; the second user's home
// and the third's client are left as they were; the fourth user's manager knows the
// session's display, where the dialog shows while its (slowed) copy runs.
TEST_F(PrivateMachine, AnUpgradeByDpkgReachesEveryRunningClientOfEveryUserButTheOptedOut) {
  using Clock = std::chrono::steady_clock;
  ASSERT_NE(qvtest::ReadFile(QV_SOURCE_DIR + "/README.md").find(kUpgradeOptOut), std::string::npos);
  const std::string release = std::string(QV_DEB_RELEASE).substr(std::string(QV_DEB_RELEASE).rfind('.') + 1);
  const std::string update = std::string(QV_DEB_UPDATE).substr(std::string(QV_DEB_UPDATE).rfind('.') + 1);
  ASSERT_EQ(Dpkg("-i " + Quote(PackageOf(QV_DEB_RELEASE))), 0);

  SessionUser& upgraded = AddUser(64400, "upgraded");
  SessionUser& idle = AddUser(64401, "idle");
  SessionUser& opted_out = AddUser(64402, "opted-out");
  SessionUser& watched = AddUser(64403, "watched");
  std::map<unsigned, pid_t> old_client;
  for (SessionUser* user : {&upgraded, &idle, &opted_out, &watched}) {
    ASSERT_NO_FATAL_FAILURE(StartManager(*user));
    ASSERT_EQ(qvtest::Shell(AsUser(*user, "QT_QPA_PLATFORM=offscreen quenvale-drive >/dev/null")), 0);
    EXPECT_EQ(BuildOf(AppFolder(user->home) + "/INFO"), release);
    old_client[user->uid] = ClientPid(user->home);
    ASSERT_TRUE(IsClientAlive(old_client[user->uid]));
  }
  StopClient(old_client[idle.uid]);
  const std::string idle_before = Snapshot(UserFolder(idle.home));

  ASSERT_EQ(qvtest::Shell(AsUser(opted_out, kUpgradeOptOut + " 2>/dev/null")), 0);
  StopManager(opted_out);
  ASSERT_NO_FATAL_FAILURE(StartManager(opted_out));
  EXPECT_EQ(Systemctl(opted_out, "is-active " + kUpgradePath), "inactive\n");
  EXPECT_EQ(Systemctl(upgraded, "is-active " + kUpgradePath), "active\n");

  // The fourth user's copy held up for a second at each file: a drop-in of the user's own,
  // as `systemctl --user edit` makes, that runs the unit's command under strace.
  const std::string display = StartXvfb();
  ASSERT_FALSE(display.empty()) << "Xvfb did not start";
  EXPECT_EQ(Systemctl(watched, "set-environment DISPLAY=" + display), "");
  const std::string drop_in = watched.home + "/.config/systemd/user/" + kUpgradeService + ".d";
  ASSERT_EQ(qvtest::Shell("mkdir -p " + Quote(drop_in)), 0);
  ASSERT_TRUE(qvtest::WriteFile(
      drop_in + "/slow-copy.conf",
      "[Service]\nExecStart=\nExecStart=strace -f -b execve -qq --seccomp-bpf -o /dev/null -e trace=copy_file_range "
      "-e inject=copy_file_range:delay_enter=1000000 " +
          UnitValue(qvtest::ReadFile(MachinePath(kUnitDir + kUpgradeService)), "ExecStart") + "\n"));
  qvtest::Shell("chown -R 64403:64403 " + Quote(watched.home + "/.config"));
  EXPECT_EQ(Systemctl(watched, "daemon-reload"), "");
  const std::string title = EntryOf(MachinePath("/usr/share/applications/quenvale-drive.desktop"))["Name"];

  // A user's client runs from the update's copy: a new process, its executable there.
  auto runs_update = [&](const SessionUser& user) {
    const pid_t pid = ClientPid(user.home);
    return pid != old_client[user.uid] && IsClientAlive(pid) &&
           ExeOf(pid) == AppFolder(user.home) + "/bin/cloud-drive-ui\n" && BuildOf(AppFolder(user.home) + "/INFO") == update;
  };

  const Clock::time_point start = Clock::now();
  const pid_t dpkg = StartLauncher(RootProcess("dpkg", {"-i", PackageOf(QV_DEB_UPDATE)}));
  Clock::time_point dpkg_end, upgraded_at;
  std::chrono::system_clock::time_point upgraded_wall;
  bool dpkg_done = false, upgraded_seen = false;
  size_t dialogs_during_copy = 0, polls = 0;
  const std::string watched_staging = "ls -d '" + AppFolder(watched.home) + "'_staging.* >/dev/null 2>&1";
  while (Clock::now() - start < std::chrono::seconds(120)) {
    if (!upgraded_seen && runs_update(upgraded)) {
      upgraded_seen = true;
      upgraded_at = Clock::now();
      upgraded_wall = std::chrono::system_clock::now();
    }
    const size_t dialogs = WindowsTitled(display, title);
    if (qvtest::Shell(watched_staging) == 0) dialogs_during_copy = std::max(dialogs_during_copy, dialogs);
    if (!dpkg_done && HasEnded(dpkg)) {
      dpkg_done = true;
      dpkg_end = Clock::now();
    }
    // The slowed service of the fourth user takes longest; asked now and then, as each
    // question costs a process.
    if (dpkg_done && (upgraded_seen || Clock::now() - dpkg_end > std::chrono::seconds(10)) && ++polls % 10 == 0) {
      std::map<std::string, std::string> watched_state = ServiceState(watched);
      const std::string& active = watched_state["ActiveState"];
      if (watched_state["ExecMainStartTimestampMonotonic"] != "0" && (active == "inactive" || active == "failed")) break;
    }
    ::usleep(20000);
  }
  const LaunchResult installed = WaitLauncher(dpkg);
  ASSERT_EQ(installed.exit_code, 0) << installed.out << installed.err;

  ASSERT_TRUE(upgraded_seen) << "no client from the update's copy";
  const double after_ms = std::chrono::duration<double, std::milli>(upgraded_at - dpkg_end).count();
  EXPECT_LE(after_ms, 10000);
  // Also from the postinst's touch of the watched file, which ends its configuration;
  // dpkg then still runs the triggers of other packages.
  struct stat stamp;
  ASSERT_EQ(::stat(MachinePath("/var/lib/quenvale-drive/configured").c_str(), &stamp), 0);
  const double touched_s = static_cast<double>(stamp.st_mtim.tv_sec) + static_cast<double>(stamp.st_mtim.tv_nsec) / 1e9;
  const double from_touch_ms = (std::chrono::duration<double>(upgraded_wall.time_since_epoch()).count() - touched_s) * 1000;
  std::printf("the new client ran %.0f ms %s dpkg's end, %.0f ms after the package's postinst touched %s "
              "(dpkg -i took %.0f ms)\n",
              std::abs(after_ms), after_ms < 0 ? "before" : "after", from_touch_ms,
              "/var/lib/quenvale-drive/configured", std::chrono::duration<double, std::milli>(dpkg_end - start).count());
  std::map<std::string, std::string> state = WaitForServiceRun(upgraded);
  EXPECT_EQ(state["Result"], "success");
  EXPECT_EQ(state["ExecMainStatus"], "0");
  const Clock::time_point service_end = Clock::now();
  // Its manager knows no display: the upgrade ran without a window.
  EXPECT_TRUE(InOrder(ReadLog(upgraded.home), {{"WARNING", "no display could be opened (DISPLAY=''), running without a window"}}));

  // The client that had ended: the service ran and changed nothing.
  state = WaitForServiceRun(idle);
  EXPECT_EQ(state["Result"], "success");
  EXPECT_EQ(state["ExecMainStatus"], "0");
  EXPECT_EQ(Snapshot(UserFolder(idle.home)), idle_before);
  EXPECT_FALSE(IsClientAlive(ClientPid(idle.home)));

  // Opted out: the service never ran, the old client runs on.
  EXPECT_EQ(ServiceState(opted_out)["ExecMainStartTimestampMonotonic"], "0");
  EXPECT_TRUE(IsClientAlive(old_client[opted_out.uid]));
  EXPECT_EQ(BuildOf(AppFolder(opted_out.home) + "/INFO"), release);

  // On the display: the dialog, during the copy.
  EXPECT_GE(dialogs_during_copy, 1u) << title;
  state = WaitForServiceRun(watched);
  EXPECT_EQ(state["Result"], "success");
  EXPECT_TRUE(runs_update(watched));

  // The first user's new client outlives the service that started it (it is still in
  // the service's control group); the old one is gone; the copy is the update's package
  // and nothing is left beside it.
  std::this_thread::sleep_until(service_end + std::chrono::seconds(5));
  const std::string app = AppFolder(upgraded.home);
  const pid_t new_client = ClientPid(upgraded.home);
  EXPECT_TRUE(runs_update(upgraded));
  EXPECT_FALSE(IsClientAlive(old_client[upgraded.uid]));
  EXPECT_NE(qvtest::ReadFile("/proc/" + std::to_string(new_client) + "/cgroup").find("/app.slice/" + kUpgradeService + "\n"),
            std::string::npos);
  const std::string unpacked = qvtest::MakeTempDir("update");
  Unpack(QV_DEB_UPDATE, unpacked);
  EXPECT_EQ(Listing(app), Listing(unpacked + kApp + "/package/skylodge"));
  EXPECT_EQ(qvtest::Shell("diff -r " + Quote(app) + " " + Quote(unpacked + kApp + "/package/skylodge")), 0);
  EXPECT_EQ(qvtest::ShellOutput("ls -A " + Quote(UserFolder(upgraded.home))), "QuenvaleDrive.app\nlog\nui.pid\n");

  // The path fires again with nothing to do: the client is left as it runs.
  const std::string last_start = ServiceState(upgraded)["ExecMainStartTimestampMonotonic"];
  ASSERT_EQ(qvtest::Shell(AsRoot("touch /var/lib/quenvale-drive/configured")), 0);
  state = WaitForServiceRun(upgraded, last_start);
  EXPECT_NE(state["ExecMainStartTimestampMonotonic"], last_start);
  EXPECT_EQ(state["ExecMainStatus"], "0");
  EXPECT_EQ(ClientPid(upgraded.home), new_client);
  EXPECT_TRUE(IsClientAlive(new_client));
}

// The i386 package, cross-built, on this machine (multiarch): dpkg installs it, and a
// user gets a first install, a start with nothing to do and the upgrade to its update.
// It runs where the i386 suite runs, natively or under qemu-user, and is skipped where
// that suite is (scripts/i386-binfmt.sh decides, as for the suite).
TEST_F(PrivateMachine, TheI386PackageInstallsAndInstallsStartsAndUpgradesTheClient) {
  const std::string binfmt = "bash " + QV_SOURCE_DIR + "/scripts/i386-binfmt.sh ";
  const std::string way = qvtest::ShellOutput(binfmt + "way");
  if (way.rfind("skip:", 0) == 0) GTEST_SKIP() << "i386 " << way;
  struct Claim {
    std::string down;
    ~Claim() { if (!down.empty()) qvtest::Shell(down); }
  } claim;
  if (way.rfind("emulated:", 0) == 0) {
    const std::string pid = std::to_string(::getpid());
    ASSERT_EQ(qvtest::Shell(binfmt + "up " + pid), 0);
    claim.down = binfmt + "down " + pid;
  }
  ASSERT_EQ(Dpkg("-i " + Quote(PackageOf(QV_DEB_RELEASE, kI386))), 0);
  EXPECT_EQ(qvtest::ShellOutput("file -L " + Quote(MachinePath(kApp + "/bin/launcher")) + " | grep -c 'ELF 32-bit.*80386'"), "1\n");
  SessionUser& user = AddUser(64420, "i386");
  UserInstallsStartsAndUpgrades(user, [this] { return Dpkg("-i " + Quote(PackageOf(QV_DEB_UPDATE, kI386))); });
}

// A minimal Debian 13 system, made once by debian13_system.sh and kept in a cache folder
// outside the clone; each test works on a private copy of it.
class Debian13Machine : public PrivateMachine {
 protected:
  std::string SystemRoot() override {
    const std::string log = qvtest::MakeTempDir("debootstrap") + "/log";
    const std::string root = qvtest::ShellOutput("sh " + QV_SOURCE_DIR + "/tests/packaging/debian13_system.sh /var/tmp/qv-trixie-" +
                                                 std::to_string(::getuid()) + " 2>" + Quote(log));
    if (root.empty()) ADD_FAILURE() << "no Debian 13 system: " << qvtest::ReadFile(log);
    return root.substr(0, root.find('\n'));
  }

  // apt installs a package file, as a user of the system would.
  int AptInstall(const std::string& version) {
    // In the test's sandbox, which the system shares.
    const std::string deb = qvtest::MakeTempDir("deb") + PackageOf(version).substr(PackageOf(version).rfind('/'));
    EXPECT_EQ(qvtest::Shell("cp " + Quote(PackageOf(version)) + " " + Quote(deb)), 0);
    const std::string log = qvtest::MakeTempDir("apt") + "/log";
    // Its downloads are shared with runs of other clones: one apt at a time.
    const int rc = qvtest::Shell(AsRoot("DEBIAN_FRONTEND=noninteractive flock /var/cache/apt/archives/qv.lock "
                                        "apt-get install -y --no-install-recommends " + deb) +
                                 " >" + Quote(log) + " 2>&1");
    EXPECT_EQ(rc, 0) << qvtest::ReadFile(log);
    return rc;
  }
};

// apt installs the package on Debian 13 with nothing of the system's Qt or ICU, and every
// binary in it finds its libraries. A user without a display gets the first install and
// then a start with nothing to do; apt's upgrade to the update stops the old client at the
// next start and leaves a copy equal to the update's package; on an X server the dialog
// is shown with Qt's X11 platform.
TEST_F(Debian13Machine, AptInstallsThePackageAndItInstallsStartsAndUpgradesTheClient) {
  ASSERT_EQ(qvtest::ShellOutput(AsRoot(". /etc/os-release && echo $VERSION_ID")), "13\n");
  const std::string resolve_log = qvtest::MakeTempDir("apt") + "/log";
  EXPECT_EQ(qvtest::Shell(AsRoot(AptResolvesAllowed()) + " >" + Quote(resolve_log) + " 2>&1"), 0)
      << qvtest::ReadFile(resolve_log);
  ASSERT_EQ(AptInstall(QV_DEB_RELEASE), 0);
  EXPECT_EQ(qvtest::ShellOutput(AsRoot("dpkg-query -W -f '${Package}\\n' | grep -E '^(libqt|qt|libicu|libdouble-conversion|libpcre2-16|libmd4c)'")), "");
  const std::vector<std::string> ldd = Lines(qvtest::ShellOutput(AsRoot(
      "for f in $(dpkg -L quenvale-drive); do if [ -f $f ] && [ ! -L $f ] && [ \"$(head -c 4 $f | tail -c 3)\" = ELF ]; "
      "then echo \"$f $(ldd $f | grep -c 'not found')\"; fi; done")));
  EXPECT_GE(ldd.size(), 20u);
  for (const std::string& line : ldd) EXPECT_EQ(line.substr(line.rfind(' ')), " 0") << line;

  SessionUser& user = AddUser(64410, "debian13");
  ASSERT_NO_FATAL_FAILURE(UserInstallsStartsAndUpgrades(user, [this] { return AptInstall(QV_DEB_UPDATE); }));

  const std::string display = StartXvfb(InMachine());
  ASSERT_FALSE(display.empty()) << "Xvfb did not start";
  StopClient(ClientPid(user.home));
  const size_t before = ReadLog(user.home).size();
  ASSERT_EQ(qvtest::Shell(AsUser(user, "DISPLAY=" + display + " quenvale-drive >/dev/null 2>&1")), 0);
  const std::vector<LogLine> log = ReadLog(user.home);
  EXPECT_TRUE(InOrder(std::vector<LogLine>(log.begin() + std::min(before, log.size()), log.end()),
                      {{"DEBUG", "platform = xcb"}, {"DEBUG", "no need to upgrade"}}));
  EXPECT_TRUE(IsClientAlive(ClientPid(user.home)));
}

}  // namespace
}  // namespace e2e
