#!/usr/bin/env python3
"""Walks the installer's life in one fresh Wine prefix, in order: a failed
install that rolls back, install, upgrade to a later release, a refused
downgrade, uninstall. A fresh prefix
costs half a minute here, so the five steps share one; each step checks
what the one before left.

Usage: install_walk.py BUILD_DIR   (after tools/package)
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
INSTALL_DIR = r"C:\Program Files\DRUV\Vantle"
DELIVERABLES = ["Vantle.exe", "Cindral.Engine.dll", "Cindral.Shell.dll", "Cindral.ico",
                "Vantle.Integration.exe"]
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
OPEN_COMMAND = '"%s\\Vantle.exe" "%%1"' % INSTALL_DIR
# The error MSI gives for a refused launch condition; Wine's msiexec reports
# the same code as Windows.
INSTALL_FAILURE = 1603


class StepFailed(Exception):
    pass


def require(condition, text):
    if not condition:
        raise StepFailed(text)


class Prefix:
    def __init__(self, folder):
        self.folder = folder
        self.drive = folder / "drive_c"
        self.env = dict(os.environ, WINEPREFIX=str(folder), WINEARCH="win64", WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        # Without a display a message box returns at once: the broker shows
        # one when Wine refuses the package manager.
        self.env.pop("DISPLAY", None)
        self.env.pop("WAYLAND_DISPLAY", None)

    def create(self):
        shutil.rmtree(self.folder, ignore_errors=True)
        self.folder.parent.mkdir(parents=True, exist_ok=True)
        quiet = dict(env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL)
        subprocess.run([WINE, "wineboot", "-i"], **quiet)
        subprocess.run([WINESERVER, "-w"], env=self.env)
        # One server and one set of background services for the whole walk
        # make every later start quick; they hold no output of ours open.
        subprocess.run([WINESERVER, "-p"], **quiet)
        subprocess.run([WINE, "wineboot"], **quiet)

    def stop(self):
        subprocess.run([WINESERVER, "-k"], env=self.env, stderr=subprocess.DEVNULL)

    def run(self, arguments):
        # Output through a file, not a pipe: a background process Wine starts
        # on the way would keep a pipe open, and the read would never end.
        with tempfile.TemporaryFile() as output:
            result = subprocess.run([WINE] + arguments, env=self.env, stdin=subprocess.DEVNULL,
                                    stdout=output, stderr=subprocess.DEVNULL)
            output.seek(0)
            return result.returncode, output.read().decode("utf-8", "replace")

    def unix(self, windows_path):
        assert windows_path[:3].upper() == "C:\\"
        return self.drive.joinpath(*windows_path[3:].split("\\"))

    def msiexec(self, action, package, log):
        """Runs msiexec quietly and returns its exit code; the verbose log
        goes to log."""
        command = "start /wait msiexec %s %s /qn /l*v %s & echo rc=%%errorlevel%%" % (
            action, package, log)
        _, output = self.run(["cmd", "/c", command])
        found = re.search(r"rc=(\d+)", output)
        require(found, "msiexec gave no exit code: " + output)
        return int(found.group(1))

    def registry_value(self, key, name=None):
        """The value's data, or None when the key or value is missing."""
        arguments = ["reg", "query", key] + (["/v", name] if name else ["/ve"])
        code, output = self.run(arguments)
        if code != 0:
            return None
        for line in output.splitlines():
            parts = re.split(r"\s{4}", line.strip(), maxsplit=2)
            if len(parts) == 3 and parts[1].startswith("REG_"):
                return parts[2]
            if len(parts) == 2 and parts[1].startswith("REG_"):
                return ""
        return None

    def products(self):
        """(display name, version) of every Vantle entry in Add/Remove Programs."""
        _, output = self.run(["reg", "query", UNINSTALL_KEY])
        entries = []
        for key in output.splitlines():
            # reg spells the root out: HKEY_LOCAL_MACHINE\...\Uninstall\{code}
            key = key.strip()
            if "\\UNINSTALL\\" not in key.upper():
                continue
            if self.registry_value(key, "DisplayName") == "Vantle":
                entries.append((key, self.registry_value(key, "DisplayVersion")))
        return entries


def broker_log(prefix):
    logs = list(prefix.drive.glob("users/*/Temp/vantle-msi-integration.log"))
    if not logs:
        return ""
    return logs[0].read_bytes().decode("utf-16-le")


def msi_log(prefix, name):
    data = prefix.unix("C:\\walk\\" + name).read_bytes()
    return data.decode("utf-16-le") if data[1:2] == b"\0" else data.decode("utf-8", "replace")


def check_installed(prefix, dist, identity_package, version):
    folder = prefix.unix(INSTALL_DIR)
    for name in DELIVERABLES:
        require((folder / name).read_bytes() == (dist / name).read_bytes(), name + " differs")
    identity = (folder / "Setup" / "identity.msix").read_bytes()
    require(identity == identity_package.read_bytes(),
            "Setup\\identity.msix differs from the built package")
    for prog_id, extension in (("Cindral.Zip", ".zip"), ("Cindral.SevenZip", ".7z")):
        command = prefix.registry_value(r"HKCR\%s\shell\open\command" % prog_id)
        require(command == OPEN_COMMAND, "%s opens with %r" % (prog_id, command))
        require(prefix.registry_value(r"HKLM\Software\Classes\%s\OpenWithProgids" % extension,
                                      prog_id) is not None,
                "%s does not list %s" % (extension, prog_id))
    products = prefix.products()
    require([v for _, v in products] == [version], "uninstall entries: %r" % products)
    shortcuts = [p for p in prefix.drive.rglob("Vantle.lnk") if "Start Menu" in str(p)]
    require(shortcuts, "no Start-menu shortcut")


def check_removed(prefix):
    require(not prefix.unix("C:\\Program Files\\DRUV").exists(), "the DRUV folder is left")
    for key in (r"HKCR\Cindral.Zip", r"HKCR\Cindral.SevenZip"):
        require(prefix.registry_value(key) is None, key + " is left")
    require(prefix.registry_value(r"HKCR\.zip\OpenWithProgids", "Cindral.Zip") is None,
            ".zip still lists Cindral.Zip")
    require(prefix.registry_value(r"HKCR\.7z\OpenWithProgids", "Cindral.SevenZip") is None,
            ".7z still lists Cindral.SevenZip")
    require(prefix.products() == [], "an uninstall entry is left")
    shortcuts = [p for p in prefix.drive.rglob("Vantle.lnk") if "Start Menu" in str(p)]
    require(not shortcuts, "the Start-menu shortcut is left: %s" % shortcuts)


def check_headless_extract(prefix):
    sample = prefix.unix(r"C:\walk\sample.zip")
    with zipfile.ZipFile(sample, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("notes/readme.txt", "installed and extracting\n" * 100)
    code, output = prefix.run([INSTALL_DIR + "\\Vantle.exe", "--headless-extract",
                               r"C:\walk\sample.zip"])
    require(code == 0, "the installed Vantle.exe --headless-extract exited with %d %s" % (code, output))
    extracted = list(sample.parent.rglob("readme.txt"))
    require(len(extracted) == 1 and
            extracted[0].read_text() == "installed and extracting\n" * 100,
            "extraction gave %s" % extracted)


def make_failing_copy(msi, copy):
    """The MSI with one more deferred step after the registration, one that
    fails the install: the broker with a command line it refuses."""
    shutil.copy(msi, copy)
    subprocess.run(["msibuild", str(copy), "-q",
                    "INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) "
                    "VALUES ('FailForTest', 1042, 'BrokerExe', '--no-such-operation')"], check=True)
    subprocess.run(["msibuild", str(copy), "-q",
                    "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) "
                    "VALUES ('FailForTest', 'NOT REMOVE=\"ALL\"', 6595)"], check=True)


def main(build):
    build = Path(build).resolve()
    dist = build / "dist"
    current = next(dist.glob("Vantle-*-x64.msi"), None)
    require(current is not None, "no MSI in build/dist: run tools/package first")
    work = build / "installer-walk"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    # The later release: the same files, the version's third field one up.
    version = subprocess.run(["msiinfo", "export", str(current), "Property"], check=True,
                             capture_output=True, text=True).stdout
    current_version = re.search(r"^ProductVersion\t(\S+)", version, re.M).group(1)
    fields = current_version.split(".")
    next_version = ".".join([fields[0], fields[1], str(int(fields[2]) + 1), fields[3]])
    subprocess.run([str(ROOT / "tools" / "package"), "--patch", str(int(fields[2]) + 1),
                    "--output", str(work / "next.msi")], check=True, stdout=subprocess.DEVNULL)

    prefix = Prefix(work / "prefix")
    prefix.create()
    try:
        walk_folder = prefix.unix("C:\\walk")
        walk_folder.mkdir()
        shutil.copy(current, walk_folder / "current.msi")
        shutil.copy(work / "next.msi", walk_folder / "next.msi")
        make_failing_copy(current, walk_folder / "failing.msi")

        print("step 1: a failed install rolls back")
        code = prefix.msiexec("/i", r"C:\walk\failing.msi", r"C:\walk\failing.log")
        # Windows documents 1603 for a failed install; Wine 8 gives 1627.
        require(code in (INSTALL_FAILURE, 1627), "the failing install exited with %d" % code)
        check_removed(prefix)
        # Registration and the failing step ran the broker; then the rollback
        # script ran the rollback action. Wine starts no process for it there
        # (its log shows the action, the broker's log no third start), where
        # Windows runs the broker from the not yet removed files: that part
        # is left to a real Windows.
        require(broker_log(prefix).count("Broker started") >= 2,
                "the broker's runs in a failed install: " + broker_log(prefix))
        failing_log = msi_log(prefix, "failing.log")
        failed_at = failing_log.rfind("Action start", 0, failing_log.rfind("FailForTest."))
        require(re.search(r"Action start [\d:]+: RollBackIdentity\.", failing_log[failed_at:]),
                "the rollback action did not run after the failure")

        print("step 2: install", current_version)
        earlier = len(broker_log(prefix))
        code = prefix.msiexec("/i", r"C:\walk\current.msi", r"C:\walk\install.log")
        require(code == 0, "install exited with %d" % code)
        check_installed(prefix, dist, build / "installer" / "identity.msix", current_version)
        log = broker_log(prefix)[earlier:]
        require(log.count("Broker started") == 1, "the broker's runs at install: " + log)
        # Wine has no package manager: registration fails, the install not.
        require("WinRT error 0x80040154" in log, "the broker's log lacks Wine's refusal: " + log)
        check_headless_extract(prefix)

        print("step 3: upgrade to", next_version)
        starts = broker_log(prefix).count("Broker started")
        code = prefix.msiexec("/i", r"C:\walk\next.msi", r"C:\walk\upgrade.log")
        require(code == 0, "upgrade exited with %d" % code)
        check_installed(prefix, dist, work / "next.work" / "identity.msix", next_version)
        # The old product's removal and the new product's registration.
        require(broker_log(prefix).count("Broker started") == starts + 2,
                "the broker did not run twice in the upgrade")

        print("step 4: downgrade to", current_version, "refused")
        code = prefix.msiexec("/i", r"C:\walk\current.msi", r"C:\walk\downgrade.log")
        require(code == INSTALL_FAILURE, "downgrade exited with %d" % code)
        # Wine's log leaves out the launch condition's message; the refusal is
        # the newer product the upgrade table found.
        require("NEWERVERSIONFOUND = {" in msi_log(prefix, "downgrade.log"),
                "the downgrade did not find the newer product")
        check_installed(prefix, dist, work / "next.work" / "identity.msix", next_version)

        print("step 5: uninstall")
        starts = broker_log(prefix).count("Broker started")
        code = prefix.msiexec("/x", r"C:\walk\next.msi", r"C:\walk\uninstall.log")
        require(code == 0, "uninstall exited with %d" % code)
        check_removed(prefix)
        require("RemoveIdentity" in msi_log(prefix, "uninstall.log"), "no removal action")
        require(broker_log(prefix).count("Broker started") == starts + 1,
                "the broker did not run at uninstall")
    except StepFailed as failure:
        print("FAILED:", failure)
        return 1
    finally:
        prefix.stop()
    print("install walk passed")
    shutil.rmtree(work / "prefix", ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
