#!/usr/bin/env python3
"""Boots the smoke-test application in OVMF under QEMU and reports its verdict.

The application (PirnSmoke.efi) is placed as \\EFI\\BOOT\\BOOTX64.EFI on a FAT
disk next to the driver image (PirnBaseDxe.efi); the firmware boots it, it
loads and starts the driver, exercises it, reports each check on the debug
console (I/O port 0xE9) and ends QEMU through the isa-debug-exit device
(I/O port 0xF4): value 0 for a pass, 1 for a failure, which QEMU turns into
the exit codes 1 and 3.

Exit status: 0 pass, 1 failure, 77 skipped (QEMU or OVMF not installed;
the reason is printed). Environment overrides: PIRN_QEMU (the emulator),
PIRN_OVMF_CODE and PIRN_OVMF_VARS (the firmware and its variable store
template).
"""
import argparse
import os
import shutil
import subprocess
import sys
import time

SKIP = 77
QEMU_EXIT_PASS = (0 << 1) | 1
QEMU_EXIT_FAIL = (1 << 1) | 1
PASS_LINE = "PIRN SMOKE: PASS"
OVMF_PAIRS = [
    ("/usr/share/OVMF/OVMF_CODE_4M.fd", "/usr/share/OVMF/OVMF_VARS_4M.fd"),
    ("/usr/share/OVMF/OVMF_CODE.fd", "/usr/share/OVMF/OVMF_VARS.fd"),
    ("/usr/share/edk2/ovmf/OVMF_CODE.fd", "/usr/share/edk2/ovmf/OVMF_VARS.fd"),
]
HOW_TO_ENABLE = "install QEMU and OVMF (Debian: apt-get install qemu-system-x86 ovmf) to run it"


def find_firmware():
    code, variables = os.environ.get("PIRN_OVMF_CODE"), os.environ.get("PIRN_OVMF_VARS")
    if code or variables:
        if code and variables and os.path.isfile(code) and os.path.isfile(variables):
            return code, variables
        return None
    for code, variables in OVMF_PAIRS:
        if os.path.isfile(code) and os.path.isfile(variables):
            return code, variables
    return None


def prepare(work_dir, driver, app, vars_template):
    """A fresh disk tree and a fresh variable store for this run."""
    esp = os.path.join(work_dir, "esp")
    shutil.rmtree(esp, ignore_errors=True)
    os.makedirs(os.path.join(esp, "EFI", "BOOT"))
    shutil.copyfile(app, os.path.join(esp, "EFI", "BOOT", "BOOTX64.EFI"))
    shutil.copyfile(driver, os.path.join(esp, "PirnBaseDxe.efi"))
    variables = os.path.join(work_dir, "OVMF_VARS.fd")
    shutil.copyfile(vars_template, variables)
    for log in ("debugcon.log", "firmware.log"):
        path = os.path.join(work_dir, log)
        if os.path.exists(path):
            os.remove(path)
    return esp, variables


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--driver", required=True, help="PirnBaseDxe.efi")
    parser.add_argument("--app", required=True, help="PirnSmoke.efi")
    parser.add_argument("--work-dir", required=True, help="scratch directory for the disk and the logs")
    parser.add_argument("--timeout", type=float, default=90.0, help="seconds before the run counts as hung")
    args = parser.parse_args()

    qemu = shutil.which(os.environ.get("PIRN_QEMU", "qemu-system-x86_64"))
    if qemu is None:
        print(f"SKIPPED: qemu-system-x86_64 not found; {HOW_TO_ENABLE}")
        return SKIP
    firmware = find_firmware()
    if firmware is None:
        print(f"SKIPPED: OVMF firmware (OVMF_CODE/OVMF_VARS) not found; {HOW_TO_ENABLE}")
        return SKIP
    for image in (args.driver, args.app):
        if not os.path.isfile(image):
            print(f"FAIL: {image} does not exist")
            return 1

    os.makedirs(args.work_dir, exist_ok=True)
    esp, variables = prepare(args.work_dir, args.driver, args.app, firmware[1])
    debugcon = os.path.join(args.work_dir, "debugcon.log")
    command = [
        # TCG, not KVM: the driver reads AMD model-specific registers, which
        # the emulator answers with 0 but a host processor may refuse.
        qemu, "-machine", "pc", "-accel", "tcg", "-m", "256", "-nodefaults", "-display", "none", "-no-reboot", "-net", "none",
        "-drive", f"if=pflash,format=raw,unit=0,readonly=on,file={firmware[0]}",
        "-drive", f"if=pflash,format=raw,unit=1,file={variables}",
        "-drive", f"format=raw,file=fat:rw:{esp}",
        "-chardev", f"file,id=debugcon,path={debugcon}",
        "-device", "isa-debugcon,iobase=0xe9,chardev=debugcon",
        "-device", "isa-debug-exit,iobase=0xf4,iosize=0x04",
        "-serial", f"file:{os.path.join(args.work_dir, 'firmware.log')}",
    ]
    print("+ " + " ".join(command), flush=True)
    started = time.monotonic()
    try:
        completed = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                   timeout=args.timeout)
        status, hung = completed.returncode, False
        emulator_output = (completed.stdout + completed.stderr).strip()
    except subprocess.TimeoutExpired as expired:
        status, hung = None, True
        emulator_output = ((expired.stdout or b"") + (expired.stderr or b"")).decode(errors="replace").strip()
    elapsed = time.monotonic() - started

    log = ""
    if os.path.exists(debugcon):
        with open(debugcon, encoding="utf-8", errors="replace") as handle:
            log = handle.read()
    print("---- debug console ----")
    print(log.rstrip())
    print("-----------------------")
    if emulator_output:
        print(f"emulator: {emulator_output}")
    print(f"run time {elapsed:.1f} s")

    if hung:
        print(f"FAIL: no verdict within {args.timeout:.0f} s (firmware or driver hung)")
        return 1
    if status == QEMU_EXIT_PASS and PASS_LINE in log:
        print("PASS")
        return 0
    if status == QEMU_EXIT_FAIL:
        print("FAIL: the smoke test reported a failure")
    else:
        print(f"FAIL: QEMU ended with status {status} without a verdict")
    return 1


if __name__ == "__main__":
    sys.exit(main())
