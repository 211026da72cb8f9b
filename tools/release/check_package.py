#!/usr/bin/env python3
"""Makes the release package of a build tree with CPack, in a folder of its
own, and checks that it holds exactly what it must: the listed files under
the package's top folder, the programs identical to the ones just built, and
nothing else (nothing for tests).

    check_package.py --cpack CPACK --build-dir DIR --package NAME
                     --bin DIR FILE [FILE ...]

Exit status 0 when the package is right, 1 otherwise; every fault is printed.
"""

import argparse
import os
import subprocess
import sys
import zipfile


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cpack", required=True)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--package", required=True, help="package name without .zip")
    parser.add_argument("--bin", required=True, help="where the built programs are")
    parser.add_argument("files", nargs="+", help="what the package must hold, relative to its top folder")
    args = parser.parse_args()

    out_dir = os.path.join(args.build_dir, "package-check")
    zip_path = os.path.join(out_dir, args.package + ".zip")
    if os.path.exists(zip_path):
        os.remove(zip_path)
    made = subprocess.run([args.cpack, "-G", "ZIP", "--config", os.path.join(args.build_dir, "CPackConfig.cmake"),
                           "-B", out_dir], cwd=args.build_dir, capture_output=True, text=True)
    if made.returncode != 0 or not os.path.exists(zip_path):
        print(made.stdout + made.stderr)
        print("FAULT: cpack did not make %s" % zip_path)
        return 1

    faults = []
    top = args.package + "/"
    with zipfile.ZipFile(zip_path) as package:
        held = {info.filename: info for info in package.infolist() if not info.is_dir()}
        wanted = {top + name for name in args.files}
        for name in sorted(wanted - set(held)):
            faults.append("%s is missing from the package" % name)
        for name in sorted(set(held) - wanted):
            faults.append("%s is in the package but must not be" % name)
        for name in sorted(wanted & set(held)):
            if name.lower().endswith(".exe"):
                with open(os.path.join(args.bin, name[len(top):]), "rb") as built:
                    if package.read(name) != built.read():
                        faults.append("%s differs from the program in %s" % (name, args.bin))
            elif held[name].file_size == 0:
                faults.append("%s is empty" % name)
    print("%s: %d files%s" % (os.path.basename(zip_path), len(held), "" if faults else ", as expected"))
    for fault in faults:
        print("FAULT: " + fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
