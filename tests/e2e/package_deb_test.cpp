// The Debian package, built from this build tree by scripts/build-deb.sh and taken apart with
// dpkg-deb: the files where the unit and the udev rule point, ExecStart on the packaged binary,
// the programs running from the extracted tree, the declared dependencies and the maintainer
// scripts. Expected paths and fields follow Debian's layout (/usr/bin, /usr/lib/systemd/system,
// /usr/lib/udev/rules.d) and the service's needs, not the packaging code.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "testSupport.h"

namespace {

const char kUnit[] = "velusbdisplay.service";
const char kUnitPath[] = "/usr/lib/systemd/system/velusbdisplay.service";
const char kRulePath[] = "/usr/lib/udev/rules.d/60-velusbdisplay.rules";
const char kUsage[] =
    " [-fw board|host] [-fwlog] [-v | --version | -version] [-fps <number>] [fps <show>] "
    "[-mode light|smart]\n";

vtest::ProcResult sh(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                     std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    std::vector<std::string> a{"/usr/bin/env"};
    a.insert(a.end(), argv.begin(), argv.end());
    return vtest::run(a, env, timeout);
}

std::string trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    while (!s.empty() && s.front() == ' ') s.erase(s.begin());
    return s;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// Package names of a Depends-style field ("a (>= 1), b | c" gives a, b, c).
std::set<std::string> packageNames(const std::string& field) {
    std::set<std::string> names;
    std::string cur;
    auto flush = [&] {
        std::string n = trim(cur.substr(0, cur.find('(')));
        if (!n.empty()) names.insert(n);
        cur.clear();
    };
    for (char c : field) {
        if (c == ',' || c == '|') flush();
        else cur += c;
    }
    flush();
    return names;
}

// Values of every "Key=value" line of a unit file, in order.
std::vector<std::string> unitValues(const std::string& unit, const std::string& key) {
    std::vector<std::string> v;
    for (const auto& l : lines(unit))
        if (l.rfind(key + "=", 0) == 0) v.push_back(l.substr(key.size() + 1));
    return v;
}

struct Entry {
    std::string mode, owner;
};

// The package of this build tree, unpacked; the checks below only read it. One package for all
// of them: CTest runs every test in a process of its own and packaging takes seconds.
struct DebPackage {
    vtest::TempDir dir;
    std::string deb;

    // Builds the package; false (with the failure reported) when it could not.
    bool build() {
        auto r = sh({"bash", std::string(VEL_SOURCE_DIR) + "/scripts/build-deb.sh", "--no-build",
                     "--build-dir", VEL_BIN_DIR, "--out", dir.path()},
                    {}, std::chrono::seconds(240));
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        auto out = lines(r.out);
        if (r.status != 0 || out.empty()) return false;
        deb = out.back();
        struct stat st {};
        EXPECT_EQ(stat(deb.c_str(), &st), 0) << deb;
        return sh({"dpkg-deb", "-x", deb, dir.file("root")}).status == 0 &&
               sh({"dpkg-deb", "-e", deb, dir.file("control")}).status == 0;
    }
    std::string root(const std::string& path) const { return dir.file("root") + path; }
    std::string field(const std::string& name) const {
        return trim(sh({"dpkg-deb", "-f", deb, name}).out);
    }
    // Regular files of the package by path, from dpkg-deb's listing.
    std::map<std::string, Entry> files() const {
        std::map<std::string, Entry> m;
        for (const auto& l : lines(sh({"dpkg-deb", "-c", deb}).out)) {
            std::istringstream in(l);
            std::string mode, owner, size, date, time, path;
            in >> mode >> owner >> size >> date >> time >> path;
            if (!mode.empty() && mode[0] == '-') m[path.substr(1)] = {mode, owner};  // drop "."
        }
        return m;
    }

    void holdsTheProgramsUnitAndRuleAndNothingElse() const;
    void controlFieldsAndDependencies() const;
    void unitStartsThePackagedBinaryThatRuns() const;
    void unitSandboxLeavesTheServiceWhatItUses() const;
    void udevRuleStartsThePackagedUnitForTheAdapters() const;
    void maintainerScriptsEnableTheUnitTheDebianWay() const;
};

}  // namespace

TEST(DebPackage, BuiltFromTheTreeHoldsWhatAnInstallationNeeds) {
    DebPackage p;
    ASSERT_TRUE(p.build());
    {
        SCOPED_TRACE("files");
        p.holdsTheProgramsUnitAndRuleAndNothingElse();
    }
    {
        SCOPED_TRACE("control fields");
        p.controlFieldsAndDependencies();
    }
    {
        SCOPED_TRACE("unit");
        p.unitStartsThePackagedBinaryThatRuns();
    }
    {
        SCOPED_TRACE("sandbox");
        p.unitSandboxLeavesTheServiceWhatItUses();
    }
    {
        SCOPED_TRACE("udev rule");
        p.udevRuleStartsThePackagedUnitForTheAdapters();
    }
    {
        SCOPED_TRACE("maintainer scripts");
        p.maintainerScriptsEnableTheUnitTheDebianWay();
    }
}

void DebPackage::holdsTheProgramsUnitAndRuleAndNothingElse() const {
    std::map<std::string, std::string> expected = {
        {"/usr/bin/VelUSBDisplay", "-rwxr-xr-x"},
        {"/usr/bin/VelFWLogCapture", "-rwxr-xr-x"},
        {"/usr/bin/vel-logcat", "-rwxr-xr-x"},
        {kUnitPath, "-rw-r--r--"},
        {kRulePath, "-rw-r--r--"},
    };
    // Lua dissectors in tools/wireshark/ belong in Wireshark's global Lua plug-in folder.
    std::string arch = trim(sh({"dpkg-architecture", "-qDEB_HOST_MULTIARCH"}).out);
    auto lua = sh({"find", std::string(VEL_SOURCE_DIR) + "/tools/wireshark", "-maxdepth", "1",
                   "-name", "*.lua", "-printf", "%f\\n"});
    for (const auto& name : lines(lua.out))
        expected["/usr/lib/" + arch + "/wireshark/plugins/" + name] = "-rw-r--r--";

    auto got = files();
    for (const auto& [path, mode] : expected) {
        ASSERT_TRUE(got.count(path)) << path << " is not in the package";
        EXPECT_EQ(got[path].mode, mode) << path;
        EXPECT_EQ(got[path].owner, "root/root") << path;
    }
    for (const auto& [path, e] : got)
        EXPECT_TRUE(expected.count(path)) << "unexpected file in the package: " << path;
}

void DebPackage::controlFieldsAndDependencies() const {
    EXPECT_EQ(field("Package"), "velusbdisplay");
    EXPECT_EQ(field("Version"), "2.24.6.0");
    EXPECT_EQ(field("Architecture"), trim(sh({"dpkg", "--print-architecture"}).out));
    EXPECT_FALSE(field("Maintainer").empty());
    EXPECT_FALSE(field("Description").empty());

    auto depends = packageNames(field("Depends"));
    for (const char* lib : {"libusb-1.0-0", "libevdi0", "libturbojpeg0", "libc6"})
        EXPECT_TRUE(depends.count(lib)) << lib << " missing from Depends: " << field("Depends");
    // Libraries of the emulator and the tests only: their presence would mean those got in.
    for (const char* lib : {"libpng16-16", "libpcap0.8", "libjpeg62-turbo", "libumockdev0"})
        EXPECT_FALSE(depends.count(lib)) << lib << " in Depends: " << field("Depends");
    EXPECT_TRUE(packageNames(field("Recommends")).count("evdi-dkms"));
}

void DebPackage::unitStartsThePackagedBinaryThatRuns() const {
    std::string unit = vtest::readFile(root(kUnitPath));
    ASSERT_FALSE(unit.empty());
    auto exec = unitValues(unit, "ExecStart");
    ASSERT_EQ(exec.size(), 1u);
    EXPECT_EQ(exec[0], "/usr/bin/VelUSBDisplay");
    EXPECT_EQ(unitValues(unit, "WantedBy"), std::vector<std::string>{"multi-user.target"});

    const std::string bin = root("/usr/bin/VelUSBDisplay");
    auto r = vtest::run({bin, "-h"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Usage: " + bin + kUsage);

    r = vtest::run({root("/usr/bin/vel-logcat"), "-h"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("usage: ", 0), 0u) << r.out;
}

// The sandbox must leave open what the service uses: its log directory writable, the firmware
// images readable, USB and DRM nodes, netlink for hot-plug.
void DebPackage::unitSandboxLeavesTheServiceWhatItUses() const {
    std::string unit = vtest::readFile(root(kUnitPath));
    auto joined = [&](const char* key) {
        std::string all;
        for (const auto& v : unitValues(unit, key)) all += " " + v + " ";
        return all;
    };
    EXPECT_EQ(unitValues(unit, "ProtectSystem"), std::vector<std::string>{"strict"});
    EXPECT_TRUE(joined("LogsDirectory").find(" VelUSBDisplay ") != std::string::npos ||
                joined("ReadWritePaths").find(" /var/log/VelUSBDisplay") != std::string::npos)
        << "the log directory is not writable";
    for (const char* key : {"InaccessiblePaths", "TemporaryFileSystem", "ReadWritePaths"})
        EXPECT_EQ(joined(key).find("/opt"), std::string::npos) << key;
    EXPECT_EQ(joined("PrivateDevices").find("yes"), std::string::npos);
    EXPECT_EQ(joined("PrivateNetwork").find("yes"), std::string::npos) << "netlink needs the host's";
    std::string allow = joined("DeviceAllow");
    EXPECT_NE(allow.find("char-usb_device rw"), std::string::npos) << allow;
    EXPECT_NE(allow.find("char-drm rw"), std::string::npos) << allow;
    std::string families = joined("RestrictAddressFamilies");
    EXPECT_NE(families.find("AF_NETLINK"), std::string::npos) << families;
    EXPECT_NE(families.find("AF_UNIX"), std::string::npos) << families;
    EXPECT_NE(joined("ReadWritePaths").find("/sys/devices/evdi"), std::string::npos)
        << "libevdi adds its cards through /sys/devices/evdi/add";

    // systemd's own check of every line (it warns of unknown keys and bad values but still
    // exits with 0, so its output must be empty too). ExecStart is pointed at the extracted
    // binary, which it requires to exist; the line itself is checked above.
    if (sh({"sh", "-c", "command -v systemd-analyze"}).status == 0) {
        vtest::TempDir d;
        std::string copy = d.file(kUnit);
        std::ofstream(copy) << std::regex_replace(unit, std::regex("\nExecStart=[^\n]*"),
                                                  "\nExecStart=" + root("/usr/bin/VelUSBDisplay"));
        auto v = sh({"systemd-analyze", "verify", "--man=no", copy});
        EXPECT_EQ(v.status, 0);
        EXPECT_EQ(v.out + v.err, "");
    }
}

void DebPackage::udevRuleStartsThePackagedUnitForTheAdapters() const {
    std::string rule = vtest::readFile(root(kRulePath));
    char vid[8];
    snprintf(vid, sizeof vid, "%04x", static_cast<unsigned>(VEL_VENDOR_ID));
    EXPECT_NE(rule.find("ATTR{idVendor}==\"" + std::string(vid) + "\""), std::string::npos) << rule;
    EXPECT_NE(rule.find("ENV{SYSTEMD_WANTS}+=\"" + std::string(kUnit) + "\""), std::string::npos)
        << rule;
    EXPECT_NE(rule.find("TAG+=\"systemd\""), std::string::npos) << rule;
}

// postinst runs against stand-ins of the Debian helpers that record their calls; prerm and
// postrm act on the host's own systemd state, so only their syntax is checked here (the
// debootstrap check, scripts/check-deb-install.sh, runs all three for real).
void DebPackage::maintainerScriptsEnableTheUnitTheDebianWay() const {
    for (const char* s : {"postinst", "prerm", "postrm"}) {
        std::string path = dir.file("control") + "/" + s;
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0) << s << " missing";
        EXPECT_EQ(st.st_mode & 0777, 0755u) << s;
        auto r = sh({"sh", "-n", path});
        EXPECT_EQ(r.status, 0) << s << ": " << r.err;
    }

    vtest::TempDir stubs;
    const std::string calls = stubs.file("calls");
    for (const char* tool : {"deb-systemd-helper", "deb-systemd-invoke", "systemctl", "udevadm"}) {
        std::ofstream f(stubs.file(tool));
        // was-enabled answers as STUB_WAS_ENABLED says (1: the administrator left it enabled).
        f << "#!/bin/sh\necho \"" << tool << " $*\" >> " << calls << "\n"
          << "case \"$*\" in *was-enabled*) [ \"$STUB_WAS_ENABLED\" = 1 ];; esac\n";
        f.close();
        chmod(stubs.file(tool).c_str(), 0755);
    }
    auto postinst = [&](std::vector<std::string> args, const char* wasEnabled) {
        std::remove(calls.c_str());
        args.insert(args.begin(), {"sh", dir.file("control") + "/postinst"});
        auto r = sh(args, {"PATH=" + stubs.path() + ":/usr/bin:/bin",
                           std::string("STUB_WAS_ENABLED=") + wasEnabled});
        EXPECT_EQ(r.status, 0) << r.err;
        std::vector<std::string> helper;
        for (const auto& l : lines(vtest::readFile(calls)))
            if (l.rfind("deb-systemd-helper", 0) == 0) helper.push_back(l);
        return helper;
    };

    // A first installation enables the unit.
    EXPECT_EQ(postinst({"configure"}, "1"),
              (std::vector<std::string>{"deb-systemd-helper unmask velusbdisplay.service",
                                        "deb-systemd-helper --quiet was-enabled velusbdisplay.service",
                                        "deb-systemd-helper enable velusbdisplay.service"}));
    // An upgrade of a unit the administrator disabled keeps it disabled.
    EXPECT_EQ(postinst({"configure", "2.24.5.0"}, "0"),
              (std::vector<std::string>{"deb-systemd-helper unmask velusbdisplay.service",
                                        "deb-systemd-helper --quiet was-enabled velusbdisplay.service",
                                        "deb-systemd-helper update-state velusbdisplay.service"}));
    // Other calls do nothing.
    EXPECT_TRUE(postinst({"triggered"}, "1").empty());
}
