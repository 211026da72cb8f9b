#!/usr/bin/env python3
"""One life cycle of a Windows Installer package of qelsvc under Wine, in a
fresh Wine prefix of its own (made anew in PREFIX, ended with everything in
it when the cycle is over), with the stand-in zr.exe where the client lives:

  refused: a wrong property value, before anything changes
  install with settings as properties   -> service as -i makes it, running;
                                           qelsvc -l: the copies working;
                                           qelsvc -d: the settings given
  a setting changed with a command
  upgrade to a higher version, no properties
                                        -> same folder, setting kept, the old
                                           clients closed through Exit, the
                                           new ones working
  downgrade                             -> refused, service untouched
  removal                               -> clients closed through Exit,
                                           service, event source and files
                                           gone at once (nothing marked for
                                           deletion), settings kept
  reinstall with other settings         -> works at once; the settings given
                                           applied, the others kept
  removal with REMOVESETTINGS=1         -> the settings key is gone too

    msi_package_e2e.py --arch x64|x86 --package PKG --next-package PKG
                       --standin zr.exe --qelsvc qelsvc.exe --prefix DIR
                       --wine-run cmake/wine-run.sh

Exit status 0 when every step held, 1 otherwise (every fault printed), 77
when the package's architecture cannot run here (said why).
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SERVICE = "Korvane service"
SKIPPED = 77
CLIENT_DIR = r"C:\Program Files\ZR Client"
SERVICE_KEY = r"HKLM\System\CurrentControlSet\Services" + "\\" + SERVICE
EVENT_SOURCE_KEY = r"HKLM\System\CurrentControlSet\Services\EventLog\Application" + "\\" + SERVICE
# Windows Installer's failure code, as Wine hands it over (modulo 256).
INSTALL_FAILURE = {1603, 1603 % 256}
LAUNCH_REFUSED = "LaunchConditions. Return value 0."
# Events the service reports (the event ids of its message table).
EVENT_STARTED, EVENT_STOPPED, EVENT_CLIENT_FORCED = 105, 108, 113


class Fault(Exception):
    pass


class WinePrefix:
    """A Wine prefix of its own with a persistent session.  The session is
    started with Wine's event-log trace on: the service inherits it, so
    every event it reports lands in the session log."""

    def __init__(self, path, arch, budget_s):
        self.path = path
        # Every program gets at most what is left of the cycle's time, so
        # that the cycle ends its Wine session itself before CTest's limit.
        self.deadline = time.time() + budget_s
        self.session_log = path + ".session.log"
        self.loader = "wine" if arch == "x86" else "wine64"
        self.env = dict(os.environ, WINEPREFIX=path, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                        PATH="/usr/lib/wine:" + os.environ.get("PATH", ""))
        if arch == "x86":
            self.env["WINEARCH"] = "win32"  # a 32-bit Windows: the x86 package refuses 64-bit ones

    def run(self, *args, env_extra=None):
        """Runs a Windows program; returns (exit status, output with LF ends).
        The output goes through a file: Wine's background processes inherit
        a pipe and would keep it open."""
        env = dict(self.env, **(env_extra or {}))
        with tempfile.TemporaryFile() as out:
            status = subprocess.run([self.loader, *args], env=env, stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT, timeout=self.remaining()).returncode
            out.seek(0)
            return status, out.read().decode("latin-1").replace("\r\n", "\n")

    def remaining(self):
        return max(1.0, self.deadline - time.time())

    def server(self, *args, timeout=None):
        subprocess.run(["wineserver", *args], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout)

    def create(self):
        shutil.rmtree(self.path, ignore_errors=True)
        if os.path.exists(self.session_log):
            os.remove(self.session_log)
        os.makedirs(self.path)
        self.run("wineboot", "-i")
        self.run("reg", "add", r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/t", "REG_SZ", "/d", "null", "/f")
        self.run("reg", "add", r"HKCU\Software\Wine\WineDbg", "/v", "ShowCrashDialog", "/t", "REG_DWORD",
                 "/d", "0", "/f")
        # The first msiexec after a new prefix fails without this wait.
        self.server("-w", timeout=self.remaining())
        self.server("-p60")
        with open(self.session_log, "ab") as log:
            subprocess.run([self.loader, "wineboot"], stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                           env=dict(self.env, WINEDEBUG="-all,fixme+advapi,+eventlog"), timeout=self.remaining())

    def end(self):
        # -k ends every process of the prefix, the service and its clients
        # included; -w returns once the server itself has gone.
        self.server("-k")
        self.server("-w", timeout=60)

    def unix_path(self, windows_path):
        assert windows_path[1:3] == ":\\"
        return os.path.join(self.path, "drive_c", *windows_path[3:].split("\\"))

    def events(self):
        """The ids of the events reported so far, in order."""
        with open(self.session_log, "rb") as log:
            text = log.read().decode("latin-1")
        return [int(m.group(1), 16) for m in re.finditer(r"ReportEventA \([^,]*,0x[0-9a-f]+,0x[0-9a-f]+,0x([0-9a-f]+)", text)]


class Cycle:
    def __init__(self, args):
        self.args = args
        self.wine = WinePrefix(os.path.abspath(args.prefix), args.arch, args.budget)
        self.log_dir = os.path.abspath(args.prefix) + "-logs"
        # The settings key as a reg.exe of the prefix's own architecture
        # sees the product's (32-bit) view.
        self.settings_key = (r"HKLM\Software\Wow6432Node\Morl\qel\svcparms" if args.arch == "x64"
                             else r"HKLM\Software\Morl\qel\svcparms")
        self.faults = []

    def check(self, condition, what):
        print(("ok:    " if condition else "FAULT: ") + what, flush=True)
        if not condition:
            self.faults.append(what)
        return condition

    def require(self, condition, what):
        if not self.check(condition, what):
            raise Fault(what)

    def msiexec(self, step, verb, package, *properties):
        log = os.path.join(self.log_dir, step + ".log")
        # StartServiceCtrlDispatcher, which -h, -a and -w go on to after
        # their work, fails at once on Windows; under Wine only when this
        # number names no service (Wine's service manager sets it again with
        # every service start).
        self.wine.run("reg", "add", r"HKLM\System\CurrentControlSet\Control\ServiceCurrent", "/ve", "/t", "REG_DWORD",
                      "/d", "2147418112", "/f")
        status, _ = self.wine.run("msiexec", verb, "Z:" + package, "/qn", *properties, "/l*v", "Z:" + log)
        with open(log, "rb") as f:
            text = f.read().decode("latin-1")
        return status, text

    def qelsvc(self, *args, folder=CLIENT_DIR):
        return self.wine.run(folder + r"\qelsvc.exe", *args)

    def reg_values(self, key):
        """{name: (type, data)} of a key, or None when it does not exist."""
        status, out = self.wine.run("reg", "query", key)
        if status != 0:
            return None
        values = {}
        for line in out.splitlines():
            m = re.match(r"    (\S.*?)    (REG_\w+)    (.*)$", line)
            if m:
                values[m.group(1)] = (m.group(2), m.group(3))
        return values

    def wait_working(self, clients, what):
        """Polls qelsvc -l until it says every copy works (the service
        starts its clients one after the other)."""
        deadline = time.time() + 90
        while True:
            status, out = self.qelsvc("-l")
            working = len(re.findall(r"^Client \d+: working ", out, re.M))
            if (status == 0 and working == clients) or time.time() > deadline:
                break
            time.sleep(1)
        self.check(status == 0 and working == clients and "%s: running" % SERVICE in out,
                   "%s: qelsvc -l shows %d copies working\n%s" % (what, clients, out))

    def expect_listing(self, expected, what):
        status, out = self.qelsvc("-d")
        self.check(status == 0 and out == expected, "%s: qelsvc -d shows\n%s" % (what, expected) +
                   ("" if out == expected else "but it shows\n" + out))

    def forced_stops_since(self, first_event):
        return self.wine.events()[first_event:].count(EVENT_CLIENT_FORCED)

    def run(self):
        a = self.args
        os.makedirs(self.log_dir, exist_ok=True)
        self.wine.create()
        client_dir = self.wine.unix_path(CLIENT_DIR)
        os.makedirs(client_dir)
        shutil.copy(a.standin, os.path.join(client_dir, "zr.exe"))

        # A wrong value stops the installation before it changes anything.
        status, log = self.msiexec("0-refused", "/i", a.package, "CLIENTS=40")
        # Wine's log does not carry the condition's message, as Windows' does.
        self.check(status in INSTALL_FAILURE and LAUNCH_REFUSED in log,
                   "CLIENTS=40 is refused by a launch condition (exit status %d)" % status)
        self.check(self.reg_values(SERVICE_KEY) is None, "nothing installed after the refusal")

        properties = ["INSTALLDIR=" + CLIENT_DIR + "\\", "CLIENTS=2", "AFFINITY=1", "MONITOR=1", "STUCK=1",
                      "TRUEIDLE=1", "KEEPICONS=0", "NORMALIZEXP=1", "DAILYRESTART=0430", "PERIODICRESTART=720",
                      "AUTODIAL=1", "QUEUESIZE=3"]
        status, _ = self.msiexec("1-install", "/i", a.package, *properties)
        self.require(status == 0, "install with settings: exit status %d" % status)
        service = self.reg_values(SERVICE_KEY) or {}
        image = service.get("ImagePath", ("", ""))[1]
        # Windows Installer registers the path quoted; Wine's does not.
        self.check(image.strip('"') == CLIENT_DIR + r"\qelsvc.exe", "service program %s" % image)
        self.check(service.get("Type", ("", ""))[1] == "0x110" and service.get("Start", ("", ""))[1] == "0x2" and
                   service.get("ErrorControl", ("", ""))[1] == "0x1" and
                   service.get("ObjectName", ("", ""))[1] == "LocalSystem",
                   "service type 0x110, automatic start, normal error control, LocalSystem: %s" % service)
        source = self.reg_values(EVENT_SOURCE_KEY) or {}
        self.check(source.get("EventMessageFile") == ("REG_EXPAND_SZ", CLIENT_DIR + r"\qelsvc.exe") and
                   source.get("TypesSupported") == ("REG_DWORD", "0x7"), "event-log source %s" % source)
        self.wait_working(2, "after the install")
        listing = ("CPU Affinity = None, 2 Clients\nAutoRestart ON - Time = 04:30\nTrueIdle = TRUE\n"
                   "NormalizeXP = TRUE\nMonitor and Restart = TRUE\nRestart Stuck Clients = TRUE\n"
                   "Keep Icons Visible = FALSE\nWU Queue Size = 3\nAutodial Type = 1\nPeriodic Restart = 720\n")
        self.expect_listing(listing, "after the install")

        status, _ = self.qelsvc("-r:0515")
        self.check(status == 0, "qelsvc -r:0515")
        listing = listing.replace("04:30", "05:15")

        events_before = len(self.wine.events())
        status, _ = self.msiexec("2-upgrade", "/i", a.next_package)
        self.require(status == 0, "upgrade without properties: exit status %d" % status)
        events = self.wine.events()[events_before:]
        self.check(EVENT_STOPPED in events and EVENT_STARTED in events and EVENT_CLIENT_FORCED not in events,
                   "upgrade: service stopped with every client closed through Exit, started again (events %s)" % events)
        self.check(not os.path.exists(self.wine.unix_path(r"C:\Program Files\qel")),
                   "upgrade stayed in the installed folder")
        self.wait_working(2, "after the upgrade")
        self.expect_listing(listing, "after the upgrade (the changed setting kept)")

        status, log = self.msiexec("3-downgrade", "/i", a.package)
        self.check(status in INSTALL_FAILURE and LAUNCH_REFUSED in log and
                   re.search(r"QEL_NEWER_FOUND = \{", log) is not None,
                   "downgrade refused by its launch condition (exit status %d)" % status)
        self.wait_working(2, "after the refused downgrade")

        events_before = len(self.wine.events())
        status, _ = self.msiexec("4-remove", "/x", a.next_package)
        self.require(status == 0, "removal: exit status %d" % status)
        # Gone now, not once a stop that is still running has ended.
        self.check(self.reg_values(SERVICE_KEY) is None, "service removed at once")
        self.check(self.reg_values(EVENT_SOURCE_KEY) is None, "event-log source removed")
        left = sorted(os.listdir(client_dir))
        self.check(left == ["qelsvc.log", "zr.exe"], "files removed, the client and the log kept: %s" % left)
        self.check(self.forced_stops_since(events_before) == 0, "removal closed every client through Exit")
        # The status the last run left, read by a copy of the program.
        check_dir = self.wine.unix_path(r"C:\check")
        os.makedirs(check_dir, exist_ok=True)
        shutil.copy(a.qelsvc, os.path.join(check_dir, "qelsvc.exe"))
        _, out = self.qelsvc("-l", folder=r"C:\check")
        self.check(len(re.findall(r"^Client \d+: empty restarts \d+ last stop 0x0$", out, re.M)) == 2 and
                   "not installed" in out, "qelsvc -l after the removal: both copies ended by the stop\n" + out)
        settings = self.reg_values(self.settings_key) or {}
        self.check(settings.get("NumClients") == ("REG_DWORD", "0x2"), "settings kept after the removal")

        # Also the forms not used above: custom masks (both on the first
        # processor, which every machine has) and the daily restart off.
        status, _ = self.msiexec("5-reinstall", "/i", a.next_package, "INSTALLDIR=" + CLIENT_DIR + "\\",
                                 "CLIENTS=2", "AFFINITY=3", "AFFINITYMASKS=1,1", "DAILYRESTART=OFF")
        self.require(status == 0, "reinstall right after the removal: exit status %d" % status)
        self.wait_working(2, "after the reinstall")
        listing = listing.replace("CPU Affinity = None, 2 Clients\n", "CPU Affinity = Custom, 2 Clients\n"
                                  "  Client 0: Affinity = 0x1\n  Client 1: Affinity = 0x1\n")
        self.expect_listing(listing.replace("AutoRestart ON - Time = 05:15", "AutoRestart OFF"),
                            "after the reinstall (the settings given, the others kept)")

        status, _ = self.msiexec("6-remove-settings", "/x", a.next_package, "REMOVESETTINGS=1")
        self.check(status == 0, "removal with REMOVESETTINGS=1: exit status %d" % status)
        self.check(self.reg_values(self.settings_key) is None, "REMOVESETTINGS=1 removed the settings key")
        self.check(self.reg_values(SERVICE_KEY) is None, "service removed")

    def main(self):
        started = time.time()
        try:
            self.run()
        except Fault:
            pass
        except subprocess.TimeoutExpired as timeout:
            self.faults.append("a program did not end: %s" % timeout)
            print("FAULT: a program did not end: %s" % timeout)
        finally:
            self.wine.end()
        # A prefix takes around a gigabyte: kept only to look into a failure.
        if not self.faults:
            shutil.rmtree(self.wine.path, ignore_errors=True)
        print("%s cycle took %d s; msiexec logs in %s" % (self.args.arch, time.time() - started, self.log_dir))
        return 1 if self.faults else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--arch", choices=("x86", "x64"), required=True)
    parser.add_argument("--package", required=True)
    parser.add_argument("--next-package", required=True, help="the same package with a higher version")
    parser.add_argument("--standin", required=True, help="the stand-in zr.exe")
    parser.add_argument("--qelsvc", required=True, help="the qelsvc.exe the package holds")
    parser.add_argument("--prefix", required=True, help="the Wine prefix to make anew")
    parser.add_argument("--wine-run", required=True, help="cmake/wine-run.sh, which knows whether 32-bit Wine runs")
    parser.add_argument("--budget", type=float, default=240, help="seconds the whole cycle may take")
    args = parser.parse_args()
    # Ended from outside: the Wine session is still ended (the finally below).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("ended from outside"))
    if args.arch == "x86":
        why = subprocess.run([args.wine_run, "--can-run-32bit"], capture_output=True, text=True)
        if why.returncode != 0:
            print("SKIPPED: the x86 package needs 32-bit Wine: %s" % why.stderr.strip())
            return SKIPPED
    return Cycle(args).main()


if __name__ == "__main__":
    sys.exit(main())
