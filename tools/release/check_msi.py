#!/usr/bin/env python3
"""Checks a Windows Installer package of qelsvc by its tables (msiinfo
export), for what Windows would refuse or do wrongly, none of which an
installation under Wine shows:

  service      installed as qelsvc -i installs it: own process with desktop
               interaction, automatic start, normal error control,
               LocalSystem, from the package's qelsvc.exe
  control      started at installation, stopped at installation and
               removal, removed at removal, waited for; stopped first
               through qelsvc -q, which waits as long as the stop takes
  eventlog     the event-log source as -i registers it (expandable message
               file = the installed qelsvc.exe, types 7), removed with it
  launch       the condition on the Windows it is for, with a message
  upgrade      older and same versions replaced, a newer one detected and
               refused with a message, both found also in managed installs
  files        exactly the programs and the guide just built, byte for byte
  platform     the architecture: x64 marked 64-bit (summary and every
               component that installs a file), x86 not, installer version
  sequence     every deferred custom action inside the installation script
               (between InstallInitialize and InstallFinalize), the settings
               commands after the files and before the service starts,
               RemoveExistingProducts where Windows accepts it
  settings     the package never writes the settings key itself (an
               upgrade would reset every setting to the package's value)

    check_msi.py --msiinfo MSIINFO --msiextract MSIEXTRACT --package PKG
                 --arch x86|x64 --version VERSION --file NAME=PATH ...

Exit status 0 when the package is right, 1 otherwise; every fault is
printed with the check that found it.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

SERVICE = "Korvane service"
EVENT_SOURCE_KEY = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + SERVICE
SETTINGS_KEY = "software\\morl\\qel\\svcparms"
PROGRAM = "qelsvc.exe"

# ServiceInstall and ServiceControl values.
SERVICE_WIN32_OWN_PROCESS_INTERACTIVE = 0x110
SERVICE_AUTO_START = 2
SERVICE_ERROR_NORMAL = 1
EVENTS_START_INSTALL, EVENTS_STOP_INSTALL, EVENTS_DELETE_INSTALL = 0x1, 0x2, 0x8
EVENTS_START_UNINSTALL, EVENTS_STOP_UNINSTALL, EVENTS_DELETE_UNINSTALL = 0x10, 0x20, 0x80
WANTED_EVENTS = EVENTS_START_INSTALL | EVENTS_STOP_INSTALL | EVENTS_STOP_UNINSTALL | EVENTS_DELETE_UNINSTALL
# Upgrade attributes.
UPGRADE_ONLY_DETECT, UPGRADE_MIN_INCLUSIVE, UPGRADE_MAX_INCLUSIVE = 0x2, 0x100, 0x200
# Component and custom action bits.
COMPONENT_64BIT = 0x100
ACTION_DEFERRED = 0x400
ACTION_TYPE_EXE_FILE = 18  # the low six bits: an executable installed by the package


class Package:
    def __init__(self, msiinfo, path):
        self.msiinfo = msiinfo
        self.path = path
        self._tables = {}

    def table(self, name):
        """Rows of a table as dicts by column name; [] when it is missing."""
        if name not in self._tables:
            run = subprocess.run([self.msiinfo, "export", self.path, name], capture_output=True)
            lines = run.stdout.decode("utf-8", "replace").replace("\r\n", "\n").split("\n")
            rows = []
            if run.returncode == 0 and len(lines) >= 3:
                columns = lines[0].split("\t")
                rows = [dict(zip(columns, line.split("\t"))) for line in lines[3:] if line]
            self._tables[name] = rows
        return self._tables[name]

    def property(self, name):
        return next((row["Value"] for row in self.table("Property") if row["Property"] == name), None)

    def summary(self):
        run = subprocess.run([self.msiinfo, "suminfo", self.path], capture_output=True, text=True)
        return dict(line.split(": ", 1) for line in run.stdout.splitlines() if ": " in line)

    def sequence(self):
        return {row["Action"]: (int(row["Sequence"]), row["Condition"]) for row in self.table("InstallExecuteSequence")}


def long_name(file_name):
    return file_name.split("|")[-1]


def program_file(package):
    return next((row for row in package.table("File") if long_name(row["FileName"]).lower() == PROGRAM), None)


def check_service(package, args):
    faults = []
    program = program_file(package)
    rows = [row for row in package.table("ServiceInstall") if row["Name"] == SERVICE]
    if len(rows) != 1:
        return ["%d ServiceInstall rows for %s, not 1" % (len(rows), SERVICE)]
    row = rows[0]
    if int(row["ServiceType"]) != SERVICE_WIN32_OWN_PROCESS_INTERACTIVE:
        faults.append("service type %s, not 0x110 (own process, interacts with the desktop)" % row["ServiceType"])
    if int(row["StartType"]) != SERVICE_AUTO_START:
        faults.append("start type %s, not 2 (automatic)" % row["StartType"])
    if int(row["ErrorControl"]) & 0xF != SERVICE_ERROR_NORMAL:
        faults.append("error control %s, not 1 (normal)" % row["ErrorControl"])
    if row.get("StartName") not in ("", "LocalSystem") or row.get("Password"):
        faults.append("service account %r: -i installs it as LocalSystem" % row.get("StartName"))
    if row.get("Arguments"):
        faults.append("service arguments %r: the service takes none" % row["Arguments"])
    if row.get("DisplayName") != SERVICE:
        faults.append("display name %r, not %r" % (row.get("DisplayName"), SERVICE))
    component = next((c for c in package.table("Component") if c["Component"] == row["Component_"]), None)
    if not program or not component or component["KeyPath"] != program["File"]:
        faults.append("the service's component does not have %s as its key file" % PROGRAM)
    return faults


def check_control(package, args):
    faults = []
    rows = [row for row in package.table("ServiceControl") if row["Name"] == SERVICE]
    if len(rows) != 1:
        return ["%d ServiceControl rows for %s, not 1" % (len(rows), SERVICE)]
    row = rows[0]
    events = int(row["Event"])
    if events != WANTED_EVENTS:
        faults.append("ServiceControl events 0x%x, not 0x%x (start at installation, stop at installation and "
                      "removal, remove at removal)" % (events, WANTED_EVENTS))
    if row.get("Wait") not in ("", "1"):
        faults.append("ServiceControl Wait %r: Windows Installer must wait for the service" % row["Wait"])
    service = next((s for s in package.table("ServiceInstall") if s["Name"] == SERVICE), None)
    if service and service["Component_"] != row["Component_"]:
        faults.append("ServiceControl and ServiceInstall belong to different components")
    # The stop through qelsvc -q, before Windows Installer's own.
    program = program_file(package)
    sequence = package.sequence()
    stops = [a for a in package.table("CustomAction")
             if program and a["Source"] == program["File"] and a["Target"].strip().lower() == "-q"]
    stop_services = sequence.get("StopServices", (None,))[0]
    if not stops:
        faults.append("no custom action runs qelsvc -q")
    for action in stops:
        at = sequence.get(action["Action"])
        if not at or stop_services is None or not at[0] < stop_services:
            faults.append("%s (qelsvc -q) does not come before StopServices" % action["Action"])
        elif "installed" not in at[1].lower():
            faults.append("%s (qelsvc -q) runs also when nothing is installed yet" % action["Action"])
    return faults


def check_eventlog(package, args):
    faults = []
    program = program_file(package)
    service = next((s for s in package.table("ServiceInstall") if s["Name"] == SERVICE), None)
    values = {row["Name"]: row for row in package.table("Registry")
              if row["Root"] == "2" and row["Key"].rstrip("\\").lower() == EVENT_SOURCE_KEY.lower()}
    message_file = values.get("EventMessageFile")
    if not program or not message_file or message_file["Value"] != "#%[#" + program["File"] + "]":
        faults.append("EventMessageFile is not the installed %s as an expandable string: %r"
                      % (PROGRAM, message_file and message_file["Value"]))
    types = values.get("TypesSupported")
    if not types or types["Value"] != "#7":
        faults.append("TypesSupported is not the number 7: %r" % (types and types["Value"]))
    for row in values.values():
        if service and row["Component_"] != service["Component_"]:
            faults.append("event-log value %s is not removed with the service (component %s)"
                          % (row["Name"], row["Component_"]))
    return faults


def check_launch(package, args):
    wanted = ("VersionNT64 >= 502" if args.arch == "x64" else "VersionNT >= 500 AND NOT VersionNT64")
    rows = [row for row in package.table("LaunchCondition") if wanted in row["Condition"]]
    if not rows:
        return ["no launch condition %r" % wanted]
    if not rows[0]["Description"].strip():
        return ["the launch condition %r has no message" % wanted]
    return []


def check_upgrade(package, args):
    faults = []
    version = package.property("ProductVersion")
    if version != args.version:
        faults.append("product version %s, not the release's %s" % (version, args.version))
    code = package.property("UpgradeCode")
    rows = [row for row in package.table("Upgrade") if row["UpgradeCode"] == code]
    older = [r for r in rows if not int(r["Attributes"]) & UPGRADE_ONLY_DETECT and r["VersionMax"] == version
             and int(r["Attributes"]) & UPGRADE_MAX_INCLUSIVE and r["ActionProperty"]]
    newer = [r for r in rows if int(r["Attributes"]) & UPGRADE_ONLY_DETECT and r["VersionMin"] == version
             and not int(r["Attributes"]) & UPGRADE_MIN_INCLUSIVE and not r["VersionMax"] and r["ActionProperty"]]
    if len(older) != 1:
        faults.append("no single Upgrade row that replaces versions up to and including %s" % version)
    if len(newer) != 1:
        faults.append("no single detect-only Upgrade row for versions above %s" % version)
    else:
        refusal = "NOT " + newer[0]["ActionProperty"]
        if not any(row["Condition"].strip() == refusal and row["Description"].strip()
                   for row in package.table("LaunchCondition")):
            faults.append("no launch condition %r with a message refuses a downgrade" % refusal)
    secured = (package.property("SecureCustomProperties") or "").split(";")
    for row in older + newer:
        if row["ActionProperty"] not in secured:
            faults.append("%s is not in SecureCustomProperties: managed installs would not see it"
                          % row["ActionProperty"])
    return faults


def check_files(package, args):
    faults = []
    held = {long_name(row["FileName"]): row for row in package.table("File")}
    wanted = dict(spec.split("=", 1) for spec in args.file)
    for name in sorted(set(wanted) - set(held)):
        faults.append("%s is missing from the package" % name)
    for name in sorted(set(held) - set(wanted)):
        faults.append("%s is in the package but must not be" % name)
    with tempfile.TemporaryDirectory() as folder:
        run = subprocess.run([args.msiextract, "-C", folder, package.path], capture_output=True, text=True)
        extracted = {}
        for root, _, names in os.walk(folder):
            for name in names:
                extracted[name] = os.path.join(root, name)
        if run.returncode != 0:
            faults.append("msiextract failed: %s" % run.stderr.strip())
        for name in sorted(set(wanted) & set(held)):
            with open(wanted[name], "rb") as built:
                built_bytes = built.read()
            if name not in extracted:
                faults.append("%s could not be extracted" % name)
                continue
            with open(extracted[name], "rb") as packed:
                if packed.read() != built_bytes:
                    faults.append("%s differs from the one built (%s)" % (name, wanted[name]))
    return faults


def check_platform(package, args):
    faults = []
    summary = package.summary()
    template = summary.get("Template", "")
    wanted = "x64;1033" if args.arch == "x64" else "Intel;1033"
    if template != wanted:
        faults.append("platform %r, not %r" % (template, wanted))
    installer_version = int((summary.get("Version", "0").split() or ["0"])[0])
    if installer_version < 200:
        faults.append("installer version %d: Windows 2000 and later need 200" % installer_version)
    file_components = {row["Component_"] for row in package.table("File")}
    for row in package.table("Component"):
        is_64 = bool(int(row["Attributes"]) & COMPONENT_64BIT)
        if args.arch == "x64" and row["Component"] in file_components and not is_64:
            faults.append("component %s installs a file but is not marked 64-bit" % row["Component"])
        if args.arch == "x86" and is_64:
            faults.append("component %s is marked 64-bit in the x86 package" % row["Component"])
    folders = {row["Directory"]: row["Directory_Parent"] for row in package.table("Directory")}
    program_folder = "ProgramFiles64Folder" if args.arch == "x64" else "ProgramFilesFolder"
    if folders.get("INSTALLDIR") != program_folder:
        faults.append("INSTALLDIR lies under %r, not %s" % (folders.get("INSTALLDIR"), program_folder))
    return faults


def check_sequence(package, args):
    faults = []
    sequence = package.sequence()
    needed = ("InstallValidate", "InstallInitialize", "InstallFiles", "StopServices", "StartServices",
              "InstallFinalize", "RemoveExistingProducts")
    missing = [name for name in needed if name not in sequence]
    if missing:
        return ["standard actions missing from InstallExecuteSequence: %s" % ", ".join(missing)]
    at = {name: sequence[name][0] for name in needed}
    program = program_file(package)
    for action in package.table("CustomAction"):
        name = action["Action"]
        kind = int(action["Type"])
        if name not in sequence:
            faults.append("custom action %s has no place in InstallExecuteSequence" % name)
            continue
        place = sequence[name][0]
        if kind & ACTION_DEFERRED and not at["InstallInitialize"] < place < at["InstallFinalize"]:
            faults.append("deferred custom action %s at %d is outside InstallInitialize (%d) .. InstallFinalize (%d)"
                          % (name, place, at["InstallInitialize"], at["InstallFinalize"]))
        settings_command = (kind & 0x3F == ACTION_TYPE_EXE_FILE and program and action["Source"] == program["File"]
                            and action["Target"].strip().lower() != "-q")
        if settings_command and not at["InstallFiles"] < place < at["StartServices"]:
            faults.append("settings command %s at %d is not between InstallFiles (%d) and StartServices (%d)"
                          % (name, place, at["InstallFiles"], at["StartServices"]))
        if settings_command and not kind & ACTION_DEFERRED:
            faults.append("settings command %s is not deferred (it would run before the files are there)" % name)
    # Where Windows accepts RemoveExistingProducts: between InstallValidate
    # and InstallInitialize, right after InstallInitialize, between
    # InstallExecute(Again) and InstallFinalize, or after InstallFinalize.
    rep = at["RemoveExistingProducts"]
    places = sorted(number for number, _ in sequence.values())
    after_initialize = [n for n in places if n > at["InstallInitialize"]]
    executes = [sequence[n][0] for n in ("InstallExecute", "InstallExecuteAgain") if n in sequence]
    valid = (at["InstallValidate"] < rep < at["InstallInitialize"]
             or (after_initialize and rep == after_initialize[0])
             or any(e < rep < at["InstallFinalize"] for e in executes)
             or rep > at["InstallFinalize"])
    if not valid:
        faults.append("RemoveExistingProducts at %d is where Windows refuses it (error 2613)" % rep)
    return faults


def check_settings(package, args):
    return ["the package writes the settings key itself (%s\\%s): an upgrade would reset it"
            % (row["Key"], row["Name"]) for row in package.table("Registry")
            if row["Key"].rstrip("\\").lower().endswith(SETTINGS_KEY)]


CHECKS = [("service", check_service), ("control", check_control), ("eventlog", check_eventlog),
          ("launch", check_launch), ("upgrade", check_upgrade), ("files", check_files),
          ("platform", check_platform), ("sequence", check_sequence), ("settings", check_settings)]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--msiinfo", required=True)
    parser.add_argument("--msiextract", required=True)
    parser.add_argument("--package", required=True)
    parser.add_argument("--arch", choices=("x86", "x64"), required=True)
    parser.add_argument("--version", required=True, help="the release's version (the ZIP's)")
    parser.add_argument("--file", action="append", default=[], help="NAME=PATH of a file the package must hold")
    args = parser.parse_args()
    if not os.path.exists(args.package):
        print("FAULT: %s does not exist (build the target msi)" % args.package)
        return 1
    package = Package(args.msiinfo, args.package)
    if not package.table("Property"):
        print("FAULT: %s cannot be read as a Windows Installer package" % args.package)
        return 1
    faults = 0
    for name, check in CHECKS:
        found = check(package, args)
        print("%-9s %s" % (name, "ok" if not found else "FAULT"))
        for fault in found:
            print("  FAULT: " + fault)
        faults += len(found)
    print("%s: %s" % (os.path.basename(args.package), "as expected" if not faults else "%d faults" % faults))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
