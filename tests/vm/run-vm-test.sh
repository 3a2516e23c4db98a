#!/bin/bash
# SPDX-License-Identifier: MIT
# The program against a real Linux kernel, in a QEMU virtual machine.
#
# Usage: tests/vm/run-vm-test.sh [--prepare] ARCH WORKDIR TOOL SIMLIB CONTRIB
#   ARCH       x86_64: a PC with Debian's amd64 kernel; armhf: QEMU's ARM
#              "virt" board with Debian's 32-bit armmp kernel, as on the boards
#   WORKDIR    build folder for downloads (kept as a cache), kernel, initramfs,
#              images and logs
#   TOOL       the built lockwarden-tool, for ARCH (a LOCKWARDEN_MINIMAL_KDF
#              build: the presets vm and armhf-vm)
#   SIMLIB     the built board simulator library (libboardsim.so), for ARCH
#   CONTRIB    the build's contrib folder: the generated boot pieces
#   --prepare  only fetch and unpack the packages and build the kernel module
#              and the guest's helper (kept in WORKDIR), then stop
#
# lib/fetch.sh fetches Debian's kernel, its headers and a static BusyBox with
# apt-get download (nothing is installed), for armhf also cryptsetup and its
# libraries, and builds a small kernel module that adds the MTD partition
# "safe"; lib/images.sh builds an initramfs with the program, the real
# cryptsetup and the guest's init, the initramfs of an encrypted root, and SD
# card images with sgdisk. Then eight boots (seven on ARM) under TCG, each a
# scenario of scenarios/: a raw NAND board, an eMMC board, the same board
# after a power cycle (then without fdisk, making an encrypted root file
# system with a recovery key sealed to a vendor certificate made here), a
# root that holds no file system, the encrypted root booted through an
# initramfs (Debian's mkinitramfs on the PC, the BusyBox /init on ARM), that
# on another board, whose console asks for the recovery key (the host types
# it from the console's log), a rebind by hand on the PC, and the root
# booted there after its board key was rotated. The guest half of a scenario
# reports what it measures on a serial port of its own; its host half, in
# the same file, compares the reports with what the board must show
# (lib/checks.sh).
# Needs: gdisk cryptsetup-bin kmod cpio xz-utils openssl, gcc make binutils libc6-dev
# libelf1 for the module and the static helper, apt-get with current package
# lists; root (for mkinitramfs's mount namespace); for x86_64
# qemu-system-x86 initramfs-tools, for armhf qemu-system-arm qemu-user
# gcc-arm-linux-gnueabihf and the armhf archive (dpkg --add-architecture).
# -E: the ERR trap names a failure inside the functions of lib/ too.
set -Eeuo pipefail

prepare_only=0
if [ "${1:-}" = --prepare ]; then
  prepare_only=1
  shift
fi
if [ $# -ne 5 ]; then
  echo "usage: $0 [--prepare] x86_64|armhf WORKDIR TOOL SIMLIB CONTRIB" >&2
  exit 2
fi
arch=$1
work=$(mkdir -p "$2" && cd "$2" && pwd)
tool=$(realpath "$3")
simlib=$(realpath "$4")
contrib_build=$(realpath "$5")
here=$(cd "$(dirname "$0")" && pwd)
contrib="$here/../../contrib"
fixture="$here/../data/fdisk/gpt-safe-p4.txt"

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }
say() { echo "vm $arch: $*"; }
die() { echo "vm $arch: FAILED: $*" >&2; exit 1; }

trap 'die "line $LINENO: $BASH_COMMAND"' ERR
test_start=$(now)

# What differs between the two machines. The guest's cryptsetup and shared
# libraries come from below sysroot: the build machine itself for x86_64,
# the unpacked armhf packages otherwise. guest_cmd runs one of the guest's
# programs on the build machine. The vendor's key for the recovery keys is
# RSA on one, EC on the other.
case "$arch" in
  x86_64)
    flavour=amd64 apt_arch="" triplet=x86_64-linux-gnu sysroot="" guest_cmd=()
    qemu=qemu-system-x86_64 cc=gcc kmake=() crypto_modules="aesni-intel"
    console=ttyS0 report_port=/dev/ttyS1 cpus=2 vendor_key=(rsa:2048)
    ;;
  armhf)
    flavour=armmp apt_arch=:armhf triplet=arm-linux-gnueabihf sysroot="$work/sysroot"
    guest_cmd=(qemu-arm) qemu=qemu-system-arm cc=arm-linux-gnueabihf-gcc
    kmake=(ARCH=arm CROSS_COMPILE=arm-linux-gnueabihf-) crypto_modules="aes-arm ecb af_alg"
    # The board's PL011 is the console; the reports go to a PCI 16550.
    console=ttyAMA0 report_port=/dev/ttyS0 cpus=1 vendor_key=(ec -pkeyopt ec_paramgen_curve:P-256)
    ;;
  *)
    die "unknown machine $arch (x86_64 or armhf)"
    ;;
esac
for f in "$tool" "$simlib" "$fixture" "$contrib_build/lockwarden-conf.sh"; do
  [ -f "$f" ] || die "missing $f"
done
for cmd in "$qemu" "$cc" ${guest_cmd[@]+"${guest_cmd[@]}"} sgdisk depmod modprobe cpio xz make \
  readelf apt-get apt-cache dpkg openssl mkfifo; do
  command -v "$cmd" >/dev/null || die "missing command $cmd (scripts/deps.sh vm installs it)"
done

for part in fetch images checks; do
  # shellcheck source=/dev/null
  . "$here/lib/$part.sh"
done
for scenario in "$here"/scenarios/*.sh; do
  # shellcheck source=/dev/null
  . "$scenario"
done

fetch_packages
build_helpers
[ $prepare_only -eq 0 ] || exit 0

# The key text kept at provisioning, of the root volume's key.
key_text=4SnCrW8vhMYHuSApkv/ezgvm++MDB1U6nuSlYarQcgE=
root_initrd="$work/initrd-root.img"
listing_img="$work/sd-listing.img"
emmc_img="$work/sd-emmc.img"
build_initramfs
build_root_initramfs
make_sd_images
logs="$work/logs"
rm -rf "$logs"
mkdir -p "$logs"
# What a run of the program prints on a board without fdisk.
no_fdisk='sh: /sbin/fdisk: not found\n'
# What cryptsetup 2.6 says when a keyslot is added with --key-slot.
new_slot='WARNING: The --key-slot parameter is used for new keyslot number.\n'

boot nand "$listing_img" "root=ubi0:rootfs rootfstype=ubifs"
host_nand
boot emmc-first "$emmc_img" "root=/dev/mmcblk0p2 rootwait"
host_emmc_first
boot emmc-again "$emmc_img" "root=/dev/mmcblk0p2 rootwait"
host_emmc_again
host_escrow

# The encrypted root, on the PC through NAME.conf files for the root and the
# data volume, on the ARM board through its partition label, with a quoted
# value on the command line that holds another lockwarden.root=. Then on
# another board (scenarios/lifecycle.sh), whose secret the guest's init
# takes from vmtest.secret= too.
other="vmtest.secret=other-board-otpmk"
case $arch in
  x86_64)
    root_boot=root-initramfs-tools
    check_initramfs_tools "$root_initrd" "$work/initrd-shell.img"
    boot root-nofs "$emmc_img" "root=/dev/mapper/cryptdata" "$root_initrd"
    boot "$root_boot" "$emmc_img" "root=/dev/mapper/cryptroot rw rootflags=noatime single" "$root_initrd"
    # Three wrong answers: not a key text, the first board key's text, nothing.
    boot root-other-board "$emmc_img" "root=/dev/mapper/cryptroot" "$work/initrd-other-board.img" \
      not-a-key "$key_text" ""
    boot rebind "$emmc_img" "root=/dev/mmcblk0p2 $other" "$work/initramfs-recovery.cpio"
    host_rebind
    root_words="" boots=(root-initramfs-tools rebind)
    ;;
  armhf)
    root_boot=root-busybox
    # lockwarden.onfail=shell, but the initramfs offers no shell.
    boot root-nofs "$emmc_img" \
      "root=/dev/mapper/cryptdata lockwarden.root=/dev/mmcblk0p3:cryptdata lockwarden.onfail=shell" "$root_initrd"
    boot "$root_boot" "$emmc_img" "root=/dev/mapper/cryptroot rw rootflags=noatime single \
lockwarden.root=/dev/disk/by-partlabel/rootfs:cryptroot lockwarden.timeout=30 \
vmtest.note=\"a lockwarden.root=/dev/mmcblk0p3:cryptdata\"" "$root_initrd"
    root_words="lockwarden.root=/dev/disk/by-partlabel/rootfs:cryptroot" boots=(root-busybox)
    # A wrong answer (the first board key's text), then the recovery key.
    boot root-other-board "$emmc_img" "root=/dev/mapper/cryptroot $root_words $other" \
      "$work/initrd-other-board.img" "$key_text" "$root_recovery"
    ;;
esac
boot root-rotated "$emmc_img" "root=/dev/mapper/cryptroot $root_words $other" "$work/initrd-other-board.img"
host_root_nofs
host_root "$root_boot"
host_root_other_board
host_root_facts root-rotated

summary nand emmc-first emmc-again root-nofs "${boots[@]}" root-other-board root-rotated || exit 1
