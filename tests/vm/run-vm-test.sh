#!/bin/bash
# SPDX-License-Identifier: MIT
# The program against a real Linux kernel, in a QEMU virtual machine.
#
# Usage: tests/vm/run-vm-test.sh [--prepare] ARCH WORKDIR TOOL SIMLIB
#   ARCH       x86_64: a PC with Debian's amd64 kernel; armhf: QEMU's ARM
#              "virt" board with Debian's 32-bit armmp kernel, as on the boards
#   WORKDIR    build folder for downloads (kept as a cache), kernel, initramfs,
#              images and logs
#   TOOL       the built lockwarden-tool, for ARCH (a LOCKWARDEN_MINIMAL_KDF
#              build: the presets vm and armhf-vm)
#   SIMLIB     the built board simulator library (libboardsim.so), for ARCH
#   --prepare  only fetch and unpack the packages and build the kernel module
#              and the guest's helper (kept in WORKDIR), then stop
#
# Fetches Debian's kernel, its headers and a static BusyBox with apt-get
# download (nothing is installed), for armhf also cryptsetup and its
# libraries; builds a small kernel module that adds the MTD partition "safe",
# an initramfs with the program, the real cryptsetup and the guest scripts,
# and SD card images with sgdisk; then boots six times under TCG: a raw
# NAND board, an eMMC board, the same eMMC board again after a power cycle
# (then without fdisk), once more without fdisk (making an encrypted root
# file system), into that root through an initramfs (Debian's mkinitramfs on
# the PC, the BusyBox /init on ARM), and that on another board, which fails.
# The guest reports what it measures on a serial port of its own; this
# script compares the reports with what the boards must show.
# Needs: gdisk cryptsetup-bin kmod cpio xz-utils, gcc make binutils libc6-dev
# libelf1 for the module and the static helper, apt-get with current package
# lists; root (for mkinitramfs's mount namespace); for x86_64
# qemu-system-x86 initramfs-tools, for armhf qemu-system-arm qemu-user
# gcc-arm-linux-gnueabihf and the armhf archive (dpkg --add-architecture).
set -euo pipefail

prepare_only=0
if [ "${1:-}" = --prepare ]; then
  prepare_only=1
  shift
fi
if [ $# -ne 4 ]; then
  echo "usage: $0 [--prepare] x86_64|armhf WORKDIR TOOL SIMLIB" >&2
  exit 2
fi
arch=$1
work=$(mkdir -p "$2" && cd "$2" && pwd)
tool=$(realpath "$3")
simlib=$(realpath "$4")
here=$(cd "$(dirname "$0")" && pwd)
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
# programs on the build machine.
case "$arch" in
  x86_64)
    flavour=amd64 apt_arch="" triplet=x86_64-linux-gnu sysroot="" guest_cmd=()
    qemu=qemu-system-x86_64 cc=gcc kmake=() crypto_modules="aesni-intel"
    console=ttyS0 report_port=/dev/ttyS1
    ;;
  armhf)
    flavour=armmp apt_arch=:armhf triplet=arm-linux-gnueabihf sysroot="$work/sysroot"
    guest_cmd=(qemu-arm) qemu=qemu-system-arm cc=arm-linux-gnueabihf-gcc
    kmake=(ARCH=arm CROSS_COMPILE=arm-linux-gnueabihf-) crypto_modules="aes-arm ecb af_alg"
    # The board's PL011 is the console; the reports go to a PCI 16550.
    console=ttyAMA0 report_port=/dev/ttyS0
    ;;
  *)
    die "unknown machine $arch (x86_64 or armhf)"
    ;;
esac
for f in "$tool" "$simlib" "$fixture"; do
  [ -f "$f" ] || die "missing $f"
done
for cmd in "$qemu" "$cc" ${guest_cmd[@]+"${guest_cmd[@]}"} sgdisk depmod modprobe cpio xz make \
  readelf apt-get apt-cache dpkg; do
  command -v "$cmd" >/dev/null || die "missing command $cmd (scripts/deps.sh vm installs it)"
done

# ---- Debian packages: kernel, headers for the module, BusyBox ----

step=$(now)
# The packages to fetch and their versions, "package version" a line, the
# kernel first: the one that linux-image-FLAVOUR names today (the archive
# keeps only recent ABI versions), then its headers, BusyBox and, for armhf,
# cryptsetup and every library it loads.
resolve_packages() {
  local image_pkg abi packages=() p v kversion
  image_pkg=$(apt-cache depends "linux-image-$flavour$apt_arch" 2>/dev/null |
    awk -v flavour="$flavour" '$1 == "Depends:" && !found {
        name = $2; sub(/:.*/, "", name)
        if (name ~ ("^linux-image-6\\.1\\.0-[0-9]+-" flavour "$")) found = name
      } END { print found }')
  [ -n "$image_pkg" ] ||
    die "apt-cache knows no linux-image-6.1.0-*-$flavour$apt_arch (apt-get update; for armhf, dpkg --add-architecture armhf first)"
  abi=${image_pkg#linux-image-}
  packages=("$image_pkg$apt_arch" "linux-headers-$abi$apt_arch" "linux-headers-${abi%-"$flavour"}-common"
    "linux-kbuild-6.1" "busybox-static$apt_arch")
  if [ -n "$sysroot" ]; then
    while read -r p; do
      packages+=("$p")
    done < <(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
      --no-replaces --no-enhances "cryptsetup-bin$apt_arch" "libgcc-s1$apt_arch" |
      grep -E "^(cryptsetup-bin|lib[^ ]*)$apt_arch\$" | sort -u)
  fi
  local -A candidate
  while read -r p v; do
    candidate[$p]=$v
  done < <(apt-cache policy "${packages[@]}" |
    awk '/^[^ ].*:$/ { p = substr($0, 1, length($0) - 1) } $1 == "Candidate:" { print p, $2 }')
  kversion=${candidate[${packages[0]}]-}
  for p in "${packages[@]}"; do
    case "$p" in
      linux-*) v=$kversion ;;
      *) v=${candidate[$p]-} ;;
    esac
    case "$v" in "" | "(none)") die "apt-cache has no version of $p" ;; esac
    echo "$p $v"
  done
}
# Resolved again when apt's package lists change: each apt-cache run costs
# seconds.
wanted="$work/packages.wanted"
if ! [ "$wanted" -nt "$0" ] || [ -n "$(find /var/lib/apt/lists -maxdepth 1 -newer "$wanted" -print -quit)" ]; then
  resolve_packages >"$wanted.new"
  mv "$wanted.new" "$wanted"
fi
packages=()
declare -A version
while read -r p v; do
  packages+=("$p")
  version[$p]=$v
done <"$wanted"
image_pkg=${packages[0]%:*}
abi=${image_pkg#linux-image-}                      # 6.1.0-57-armmp
kversion=${version[${packages[0]}]}

debs="$work/debs"
mkdir -p "$debs"
to_fetch=()
for p in "${packages[@]}"; do
  # apt names the files with the epoch's colon escaped.
  if ! ls "$debs/${p%:*}_${version[$p]//:/%3a}_"*.deb >/dev/null 2>&1; then
    to_fetch+=("$p=${version[$p]}")
  fi
done
if [ ${#to_fetch[@]} -gt 0 ]; then
  say "downloading ${to_fetch[*]}"
  (cd "$debs" && apt-get download -q -o APT::Sandbox::User=root "${to_fetch[@]}") >/dev/null ||
    die "apt-get download ${to_fetch[*]}"
  rm -f "$work/.unpacked"
fi
# A newer kernel or library replaces the cached one.
declare -A keep
for p in "${packages[@]}"; do
  keep["$(echo "$debs/${p%:*}_${version[$p]//:/%3a}_"*.deb)"]=1
done
for f in "$debs"/*.deb; do
  [ -n "${keep[$f]-}" ] || rm -f "$f"
done
deb() { echo "$debs/${1%:*}_"*.deb; }

kroot="$work/kernel"
if [ ! -f "$work/.unpacked" ] || [ ! -d "$kroot/lib/modules/$abi/kernel/fs/ext4" ]; then
  rm -rf "$kroot" "$work/busybox" "$work/sysroot" "$work"/kernel-*
  mkdir -p "$kroot"
  # Of the kernel's modules, only the folders the guest loads from.
  mods="./lib/modules/$abi"
  dpkg-deb --fsys-tarfile "$(deb "$image_pkg")" | tar -x -C "$kroot" --wildcards './boot/*' \
    "$mods/modules.*" "$mods/kernel/crypto/*" "$mods/kernel/arch/*" "$mods/kernel/lib/*" \
    "$mods/kernel/drivers/mtd/*" "$mods/kernel/drivers/block/*" "$mods/kernel/drivers/md/*" \
    "$mods/kernel/drivers/mmc/*" "$mods/kernel/fs/ext4/*" "$mods/kernel/fs/jbd2/*" "$mods/kernel/fs/mbcache.ko"
  for p in "linux-headers-$abi" "linux-headers-${abi%-"$flavour"}-common" linux-kbuild-6.1; do
    dpkg -x "$(deb "$p")" "$kroot"
  done
  # The package ships no module index.
  depmod -b "$kroot" "$abi"
  # The headers' Makefile names the common headers by their installed path.
  sed -i "s|^include /usr/src/|include $kroot/usr/src/|" "$kroot/usr/src/linux-headers-$abi/Makefile"
  if [ "$arch" = x86_64 ]; then
    # QEMU boots the uncompressed kernel through its PVH entry, which is much
    # faster than the compressed image's own decompressor under TCG.
    vmlinuz="$kroot/boot/vmlinuz-$abi"
    xz_at=$(LC_ALL=C grep -m 1 -obUaP '\xfd7zXZ\x00' "$vmlinuz" | cut -d: -f1)
    [ -n "$xz_at" ] || die "no xz stream in $vmlinuz"
    # xz stops reading at the end of the stream: the tail's broken pipe is expected.
    { tail -c +$((xz_at + 1)) "$vmlinuz" || true; } | xz -dc --single-stream >"$kroot/vmlinux" ||
      die "cannot unpack $vmlinuz"
    [ "$(head -c 4 "$kroot/vmlinux" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] ||
      die "$vmlinuz did not unpack to an ELF kernel"
  fi
  dpkg -x "$(deb busybox-static)" "$work/busybox"
  if [ -n "$sysroot" ]; then
    for p in "${packages[@]}"; do
      case "$p" in cryptsetup-bin* | lib*) dpkg -x "$(deb "$p")" "$sysroot" ;; esac
    done
  fi
  touch "$work/.unpacked"
fi
kernel="$kroot/boot/vmlinuz-$abi"
[ "$arch" != x86_64 ] || kernel="$kroot/vmlinux"
say "kernel $abi ($kversion), packages ready in $(since "$step") s"

# ---- the kernel module and the guest's helper ----

step=$(now)
modbuild="$work/safe_part"
if ! [ "$modbuild/safe_part.ko" -nt "$work/.unpacked" ] ||
  ! [ "$modbuild/safe_part.ko" -nt "$here/kmod/safe_part.c" ]; then
  rm -rf "$modbuild"
  cp -r "$here/kmod" "$modbuild"
  make -s -C "$kroot/usr/src/linux-headers-$abi" M="$modbuild" ${kmake[@]+"${kmake[@]}"} modules \
    >"$work/module-build.log" 2>&1 ||
    { cat "$work/module-build.log" >&2; die "building the safe_part module"; }
fi
if ! [ "$work/mtdflash" -nt "$here/guest/mtdflash.c" ]; then
  "$cc" -static -O2 -Wall -Wextra -Werror -o "$work/mtdflash" "$here/guest/mtdflash.c" ||
    die "building mtdflash"
fi
say "module and helper ready in $(since "$step") s"
[ $prepare_only -eq 0 ] || exit 0

# ---- initramfs ----

step=$(now)
root="$work/initramfs"
rm -rf "$root"
mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,usr/lib,usr/local/sbin}
mkdir -p "$root"/{proc,sys,dev,tmp,run,etc,board}
cp "$work/busybox/bin/busybox" "$root/bin/busybox"
# The board's fuse words and key blob device secret, for the simulator.
make_board() {
  mkdir -p "$1/board/sys/fsl_otp" "$1/board/dev"
  touch "$1/board/passthrough"
  echo 0x5afe0001 >"$1/board/sys/fsl_otp/HW_OCOTP_MAC0"
  echo 0x0000beef >"$1/board/sys/fsl_otp/HW_OCOTP_MAC1"
  echo "secret $2" >"$1/board/dev/caam_kb"
}
make_board "$root" vm-board-otpmk
while read -r applet; do
  case "$applet" in */fdisk) continue ;; esac
  [ -e "$root/$applet" ] || ln -s /bin/busybox "$root/$applet"
done < <(${guest_cmd[@]+"${guest_cmd[@]}"} "$root/bin/busybox" --list-full)
install -m 0755 "$here/guest/init" "$root/init"
install -m 0755 "$here/guest/fdisk" "$root/sbin/fdisk"
install -m 0755 "$sysroot/sbin/cryptsetup" "$root/sbin/cryptsetup"
install -m 0755 "$tool" "$root/usr/sbin/lockwarden-tool"
install -m 0755 "$simlib" "$root/usr/lib/libboardsim.so"
install -m 0755 "$work/mtdflash" "$root/usr/sbin/mtdflash"
printf 'report_port=%s\ncrypto_modules="%s"\n' "$report_port" "$crypto_modules" >"$root/etc/vmtest.conf"
# Shared libraries where the guest's dynamic loader looks for them, in its
# multiarch folders; argon2's threads load libgcc_s at run time, which no ELF
# header names.
libs_needed() {
  local queue=("$@") seen=" " file name dir found
  while [ ${#queue[@]} -gt 0 ]; do
    file=${queue[0]}
    queue=("${queue[@]:1}")
    readelf -l "$file" | sed -n 's/.*program interpreter: \(.*\)\]$/\1/p'
    for name in $(readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p') libgcc_s.so.1; do
      case "$seen" in *" $name "*) continue ;; esac
      seen+="$name "
      found=""
      for dir in "/lib/$triplet" "/usr/lib/$triplet"; do
        if [ -e "$sysroot$dir/$name" ]; then
          found=$dir/$name
          break
        fi
      done
      [ -n "$found" ] || die "no $name (for $file) in $sysroot/lib/$triplet or $sysroot/usr/lib/$triplet"
      echo "$found"
      queue+=("$sysroot$found")
    done
  done
}
libs_needed "$sysroot/sbin/cryptsetup" "$tool" "$simlib" | sort -u | while read -r lib; do
  mkdir -p "$root/$(dirname "$lib")"
  cp -L "$sysroot$lib" "$root/$lib"
done
# Kernel modules and what they depend on, with an index for BusyBox modprobe.
moddir="$root/lib/modules/$abi"
mkdir -p "$moddir/extra"
for m in nandsim brd dm-crypt xts algif_skcipher algif_hash sdhci-pci mmc_block ext4 $crypto_modules; do
  modprobe -d "$kroot" -S "$abi" --show-depends "$m" | awk '$1 == "insmod" { print $2 }'
done | sort -u | while read -r ko; do
  rel=${ko#"$kroot/lib/modules/$abi/"}
  mkdir -p "$moddir/$(dirname "$rel")"
  cp "$ko" "$moddir/$rel"
done
cp "$modbuild/safe_part.ko" "$moddir/extra/"
cp "$kroot/lib/modules/$abi"/modules.{order,builtin,builtin.modinfo} "$moddir/"
depmod -b "$root" "$abi"
to_cpio() { (cd "$1" && find . | LC_ALL=C sort | cpio -o -H newc --quiet); }
to_cpio "$root" >"$work/initramfs.cpio"
say "initramfs $(du -m "$work/initramfs.cpio" | cut -f1) MiB built in $(since "$step") s"

# ---- initramfs of the encrypted root file system ----

# The PC: Debian's own mkinitramfs with the hook and the local-top script
# (their install prefix the build folder of the program), on the kernel's
# modules, and a hook of the test's own that puts the board simulator under
# the program. The ARM board: the BusyBox /init over the test initramfs.
# Another board, for the failure boots: a later archive with another secret.
step=$(now)
contrib="$here/../../contrib"
root_initrd="$work/initrd-root.img"
wrap() { printf '#!/bin/sh\nLD_PRELOAD=/usr/lib/libboardsim.so BOARD_SIM_ROOT=/board exec %s "$@"\n' "$2" >"$1"; chmod 0755 "$1"; }
if [ "$arch" = x86_64 ]; then
  itools="$work/initramfs-tools"
  if [ ! -f "$root_initrd" ] || [ -n "$(find "$tool" "$simlib" "$contrib/initramfs-tools" "$0" "$work/.unpacked" \
    -newer "$root_initrd" -print -quit)" ]; then
    rm -rf "$itools"
    mkdir -p "$itools"/{conf/hooks,conf/scripts/local-top,etc,"files/$(dirname "$tool")"}
    printf 'MODULES=list\nBUSYBOX=auto\nCOMPRESS=gzip\n' >"$itools/conf/initramfs.conf"
    # The drivers of the board's disk and root file system, as its integrator lists them.
    printf '%s\n' sdhci-pci mmc_block ext4 >"$itools/conf/modules"
    sed "s|@LOCKWARDEN_SBINDIR@|$(dirname "$tool")|" "$contrib/initramfs-tools/hook.in" >"$itools/conf/hooks/lockwarden-tool"
    sed "s|@LOCKWARDEN_SBINDIR@|$(dirname "$tool")|" "$contrib/initramfs-tools/local-top.in" \
      >"$itools/conf/scripts/local-top/lockwarden-tool"
    printf 'DEVICE=/dev/mmcblk0p2\nTIMEOUT=30\nINITRAMFS=yes\n' >"$itools/etc/cryptroot.conf"
    make_board "$itools/files" vm-board-otpmk
    wrap "$itools/files$tool" "$tool.real"
    cat >"$itools/conf/hooks/vmtest" <<EOF
#!/bin/sh
case "\$1" in prereqs) echo lockwarden-tool; exit 0 ;; esac
. /usr/share/initramfs-tools/hook-functions
copy_exec "$simlib" /usr/lib/libboardsim.so
mv "\$DESTDIR$tool" "\$DESTDIR$tool.real"
cp -a "$itools/files/." "\$DESTDIR/"
EOF
    chmod 0755 "$itools"/conf/hooks/* "$itools"/conf/scripts/local-top/*
    # mkinitramfs takes the modules, the kernel's configuration and the
    # volumes from fixed paths: in a mount namespace of its own, they are the
    # downloaded kernel's and the test's.
    command -v mkinitramfs >/dev/null || die "missing command mkinitramfs (scripts/deps.sh vm installs it)"
    mkdir -p /lib/modules /etc/lockwarden
    # shellcheck disable=SC2016 # the inner shell's arguments
    unshare -m sh -c 'mount --bind "$1/lib/modules" /lib/modules && mount --bind "$1/boot" /boot &&
      mount --bind "$2" /etc/lockwarden && mkinitramfs -d "$3" -o "$4" "$5"' sh \
      "$kroot" "$itools/etc" "$itools/conf" "$root_initrd.new" "$abi" >"$work/mkinitramfs.log" 2>&1 ||
      { cat "$work/mkinitramfs.log" >&2; die "mkinitramfs"; }
    # The kernel takes a later archive only at a 4-byte boundary.
    truncate -s %4 "$root_initrd.new"
    mv "$root_initrd.new" "$root_initrd"
  fi
else
  busybox_init="$work/busybox-init"
  rm -rf "$busybox_init"
  mkdir -p "$busybox_init"/{etc,usr/local/sbin}
  install -m 0755 "$contrib/initramfs/init" "$busybox_init/init"
  wrap "$busybox_init/usr/local/sbin/lockwarden-tool" /usr/sbin/lockwarden-tool
  # shellcheck disable=SC2086 # one module a word
  printf '%s\n' sdhci-pci mmc_block dm-crypt xts $crypto_modules algif_skcipher ext4 >"$busybox_init/etc/modules"
  { cat "$work/initramfs.cpio"; to_cpio "$busybox_init"; } >"$root_initrd"
fi
rm -rf "$work/other-board"
make_board "$work/other-board" other-board-otpmk
{ cat "$root_initrd"; to_cpio "$work/other-board"; } >"$work/initrd-other-board.img"
say "initramfs of the encrypted root ready in $(since "$step") s"

# ---- SD card images (QEMU wants a power-of-two size) ----

# The layout of the real BusyBox fdisk fixture, for the listing stand-in.
listing_img="$work/sd-listing.img"
rm -f "$listing_img"
truncate -s 64M "$listing_img"
sgdisk -U 5AFE0000-1111-4222-8333-444455556666 -n 1:0:+8M -c 1:boot -n 2:0:+16M -c 2:rootfs \
  -n 3:0:+16M -c 3:data -n 4:0:+1M -c 4:safe "$listing_img" >/dev/null
# The eMMC board: data on partition 3, big enough for a LUKS2 header, and the
# keyring partition 4.
emmc_img="$work/sd-emmc.img"
rm -f "$emmc_img"
truncate -s 128M "$emmc_img"
# Partition 3 is named "safe data": a name that only begins with "safe" must
# not make it the keyring.
# Partition 2 holds the encrypted root file system: a LUKS2 header and 24 MiB.
sgdisk -n 1:0:+8M -c 1:boot -n 2:0:+40M -c 2:rootfs -n 3:0:+64M -c "3:safe data" \
  -n 4:0:+1M -c 4:safe "$emmc_img" >/dev/null
# The row BusyBox prints for partition 4, from sgdisk's own reading.
safe_first=$(sgdisk -i 4 "$emmc_img" | sed -n 's/^First sector: \([0-9]*\) .*/\1/p')
safe_last=$(sgdisk -i 4 "$emmc_img" | sed -n 's/^Last sector: \([0-9]*\) .*/\1/p')
safe_row=$(printf '%6u %15u %15u 1024K safe' 4 "$safe_first" "$safe_last")
# Old data over the whole keyring partition ("Z", 0x5a): a store must change
# its first 80 bytes and nothing else.
head -c 1048576 /dev/zero | tr '\0' Z |
  dd of="$emmc_img" bs=512 seek="$safe_first" conv=notrunc status=none

# ---- boots ----


logs="$work/logs"
rm -rf "$logs"
mkdir -p "$logs"
declare -A value
boot_times=()

# boot NAME SDIMAGE CMDLINE [INITRD]: runs the guest to its power-off and
# loads its report.
boot() {
  local name=$1 image=$2 cmdline=$3 initrd=${4:-$work/initramfs.cpio} started status machine
  started=$(now)
  status=0
  case $arch in
    x86_64)
      machine=(-accel tcg -cpu max -m 2G -smp 2 -serial "file:$logs/$name.report")
      ;;
    armhf)
      # The armmp kernel has no LPAE: with highmem the PCI configuration
      # space sits above 4 GiB, out of its reach, and there is no PCI at all.
      # A second vCPU is slower on a two-core build machine.
      # shellcheck disable=SC2054 # QEMU option lists, not array elements
      machine=(-M virt,highmem=off -cpu cortex-a15 -m 1024 -smp 1 -nic none
        -chardev "file,id=report,path=$logs/$name.report" -device pci-serial,chardev=report)
      ;;
  esac
  # The console is the first serial port on both. A format wipes cryptsetup's
  # default 16 MiB keyslot area, which takes tens of seconds under TCG on a
  # loaded build machine.
  timeout 300 "$qemu" -serial "file:$logs/$name.console" "${machine[@]}" \
    -nodefaults -display none -no-reboot -kernel "$kernel" -initrd "$initrd" \
    -append "console=$console loglevel=4 panic=-1 $cmdline vmtest=$name" \
    -device sdhci-pci -device sd-card,drive=card \
    -drive "id=card,if=none,format=raw,file=$image" \
    </dev/null >"$logs/$name.qemu" 2>&1 || status=$?
  boot_times+=("$name $(since "$started") s")
  case $status in
    0) say "boot $name: $(since "$started") s" ;;
    124) say "boot $name: stopped after $(since "$started") s: the guest did not power off" ;;
    *) say "boot $name: qemu failed with status $status after $(since "$started") s" ;;
  esac
  touch "$logs/$name.report"
  value["$name:qemu.status"]=$status
  while IFS= read -r line; do
    line=${line%$'\r'}
    [ -n "$line" ] || continue
    value["$name:${line%%=*}"]=${line#*=}
  done <"$logs/$name.report"
}

failures=()
failed_boots=()
# check BOOT KEY EXPECTED [DESCRIPTION]: exact comparison of one reported value.
check() {
  local got=${value["$1:$2"]-<not reported>}
  if [ "$got" != "$3" ]; then
    failures+=("[$1] $2: expected '$3', got '$got'${4:+ ($4)}")
    mark_failed "$1"
  fi
}
# check_text BOOT KEY TEXT: a base64 value against printf-style TEXT, byte
# for byte (the x keeps trailing newlines through the substitution).
check_text() {
  local got want
  got=$(printf '%s' "${value["$1:$2"]-}" | base64 -d 2>/dev/null; echo x)
  want=$(printf "$3"; echo x)
  if [ -z "${value["$1:$2"]+set}" ]; then
    failures+=("[$1] $2: not reported")
    mark_failed "$1"
  elif [ "$got" != "$want" ]; then
    failures+=("[$1] $2: expected $(printf '%q' "${want%x}"), got $(printf '%q' "${got%x}")")
    mark_failed "$1"
  fi
}
# check_file BOOT KEY FILE DESCRIPTION: a base64 value against a file's bytes.
check_file() {
  local got="$logs/$1.$2"
  printf '%s' "${value["$1:$2"]-}" | base64 -d >"$got" 2>/dev/null || true
  if ! cmp -s "$got" "$3"; then
    failures+=("[$1] $2 differs from $3 ($4):"$'\n'"$(diff "$3" "$got" || true)")
    mark_failed "$1"
  fi
}
# check_nonzero BOOT KEY: a count that must be positive.
check_nonzero() {
  local got=${value["$1:$2"]-<not reported>}
  if ! [[ "$got" =~ ^[0-9]+$ ]] || [ "$got" -eq 0 ]; then
    failures+=("[$1] $2: expected a positive count, got '$got'")
    mark_failed "$1"
  fi
}
# check_console BOOT TEXT: a line of the guest's console holds TEXT.
check_console() {
  grep -qF -- "$2" "$logs/$1.console" || { failures+=("[$1] not on the console: $2"); mark_failed "$1"; }
}
# check_run BOOT STEP STATUS STDOUT [STDERR]: one run of the program; stderr
# is empty unless given.
check_run() {
  check "$1" "$2.status" "$3" "exit status"
  check_text "$1" "$2.stdout" "$4"
  check_text "$1" "$2.stderr" "${5-}"
}
# open_time BOOT STEP WHAT: how long the guest's run STEP of the program took.
open_time() {
  say "boot $1: $3 in ${value["$1:$2.seconds"]-<not reported>} s"
}
mark_failed() {
  case " ${failed_boots[*]} " in *" $1 "*) ;; *) failed_boots+=("$1") ;; esac
}

# Raw NAND board.
boot nand "$listing_img" "root=ubi0:rootfs rootfstype=ubifs"
open_time nand nand.format "format and open"
open_time nand nand.open "open"
check nand board nand
check_text nand nand.proc_mtd 'dev:    size   erasesize  name\nmtd0: 08000000 00020000 "NAND simulator partition 0"\nmtd1: 00100000 00020000 "safe"\n'
check nand nand.safe.device /dev/mtd1
check nand nand.safe.info "1048576 131072 2048"
check nand nand.chip.bad "1 3"
check nand nand.safe.bad "0 2" "the safe partition's first block is bad"
check_run nand nand.newkey 0 'Skipping bad block\n'
check nand nand.newkey.requests "ENCRYPT 32 80 16 ok;DECRYPT 32 80 16 ok;DECRYPT 32 80 16 ok;" "the new blob unwrapped in memory, then the stored page read back and unwrapped"
check_nonzero nand nand.page.blob_not_ff
check nand nand.page.tail_not_zero 0 "the page holds the blob, then zeros"
check nand nand.block.rest_not_ff 0 "the rest of the erase block is erased"
check nand nand.later_blocks_not_ff 0 "no other block of the partition is touched"
check_run nand nand.format 0 'Skipping bad block\n'
check_run nand nand.open 0 'Skipping bad block\n'
check nand nand.open.read_md5 "${value[nand:nand.format.written_md5]-<written>}" "data read back"
check nand nand.primary_not_ff 0 "primary keyring block erased"
check_run nand nand.fallback 0 'Skipping bad block\n'
check nand nand.fallback.read_md5 "${value[nand:nand.format.written_md5]-<written>}" "data read back"
check_run nand nand.nokey 255 'Skipping bad block\n[ERROR] get_plain_key: decrypt ioctl\n[ERROR] cryptsetup_open: recover key\n[ERROR] main: open partition\n'
check_file nand fdisk.listing "$fixture" "the fdisk stand-in against the real BusyBox 1.36 listing"
[ -n "${value[nand:done.uptime]+set}" ] || { failures+=("[nand] the guest did not finish"); mark_failed nand; }

# eMMC board, first boot.
boot emmc-first "$emmc_img" "root=/dev/mmcblk0p2 rootwait"
open_time emmc-first emmc.format "format and open"
check emmc-first board emmc-first
check emmc-first emmc.fdisk_safe_row "$safe_row" "the stand-in's row for the sgdisk-made partition 4"
check_run emmc-first emmc.newkey 0 ''
check emmc-first emmc.newkey.requests "ENCRYPT 32 80 16 ok;DECRYPT 32 80 16 ok;DECRYPT 32 80 16 ok;" "the new blob unwrapped in memory, then the stored blob read back and unwrapped"
check emmc-first emmc.p3_not_zero 0 "the partition named 'safe data' is not the keyring"
check_nonzero emmc-first emmc.blob_not_old
check emmc-first emmc.rest_not_old 0 "only the 80 bytes of the blob are written"
check_run emmc-first emmc.format 0 ''
check emmc-first emmc.mapping "cryptdata LUKS2"
check emmc-first emmc.luks_header "2 pbkdf2" "LUKS2, key slot of the minimal-KDF build"
check emmc-first emmc.format.read_md5 "${value[emmc-first:emmc.format.written_md5]-<written>}" "data read back"
check_nonzero emmc-first emmc.plain_on_mapper
check_nonzero emmc-first emmc.data_offset
check emmc-first emmc.plain_on_card 0 "plain data on the partition under dm-crypt"
[ -n "${value[emmc-first:done.uptime]+set}" ] || { failures+=("[emmc-first] the guest did not finish"); mark_failed emmc-first; }

# The same card after a power cycle.
boot emmc-again "$emmc_img" "root=/dev/mmcblk0p2 rootwait"
open_time emmc-again emmc2.open "open"
check emmc-again board emmc-again
check emmc-again emmc2.blob_md5 "${value[emmc-first:emmc.blob_md5]-<first boot>}" "the stored blob survives"
check_run emmc-again emmc2.open 0 ''
check emmc-again emmc2.open.read_md5 "${value[emmc-first:emmc.format.written_md5]-<written>}" "data read back after the power cycle"
# Without fdisk: the shell's complaint, then the partition the kernel names "safe".
no_fdisk='sh: /sbin/fdisk: not found\n'
check emmc-again emmc2.p4_partname safe "the GPT name of partition 4 in sysfs"
check_run emmc-again emmc2.partname 0 '' "$no_fdisk"
check emmc-again emmc2.partname.read_md5 "${value[emmc-first:emmc.format.written_md5]-<written>}" \
  "data read back, keyring found by its partition name"
check_run emmc-again emmc2.newkey 0 '' "$no_fdisk"
check_run emmc-again emmc2.format 0 '' "$no_fdisk"
[ -n "${value[emmc-again:done.uptime]+set}" ] || { failures+=("[emmc-again] the guest did not finish"); mark_failed emmc-again; }

# And after another power cycle, still without fdisk.
boot emmc-sysfs "$emmc_img" "root=/dev/mmcblk0p2 rootwait"
open_time emmc-sysfs emmc3.open "open"
check emmc-sysfs board emmc-sysfs
check_run emmc-sysfs emmc3.open 0 '' "$no_fdisk"
check emmc-sysfs emmc3.open.read_md5 "${value[emmc-again:emmc2.format.written_md5]-<written>}" \
  "data of the volume formatted without fdisk, read back after the power cycle"
check_run emmc-sysfs root.format 0 '' "$no_fdisk"
check emmc-sysfs root.made 0 "the root file system made and filled"
[ -n "${value[emmc-sysfs:done.uptime]+set}" ] || { failures+=("[emmc-sysfs] the guest did not finish"); mark_failed emmc-sysfs; }

# The encrypted root file system: the initramfs opens partition 2 with the
# stored blob and boots into it; on another board, the program's lines and
# what to check, then a reboot (QEMU exits), never a wait.
case $arch in
  x86_64) root_boot=root-initramfs-tools root_args="" ;;
  armhf) root_boot=root-busybox root_args="lockwarden.root=/dev/mmcblk0p2:cryptroot lockwarden.timeout=30" ;;
esac
boot "$root_boot" "$emmc_img" "root=/dev/mapper/cryptroot rw $root_args" "$root_initrd"
check "$root_boot" board "$root_boot"
check "$root_boot" root.device "cryptroot mmcblk0p2 CRYPT-LUKS2" "/ is the mapping of the LUKS partition"
check "$root_boot" root.data_md5 "${value[emmc-first:emmc.format.written_md5]-<written>}" "data read back from /"
[ -n "${value[$root_boot:done.uptime]+set}" ] || { failures+=("[$root_boot] the guest did not finish"); mark_failed "$root_boot"; }
boot root-other-board "$emmc_img" "root=/dev/mapper/cryptroot $root_args lockwarden.onfail=reboot" \
  "$work/initrd-other-board.img"
check root-other-board qemu.status 0 "rebooted"
check_console root-other-board "[ERROR] main: open partition"
check_console root-other-board "cannot open /dev/mmcblk0p2 as cryptroot: check"

say "timings: ${boot_times[*]}; total $(since "$test_start") s"
if [ ${#failures[@]} -eq 0 ]; then
  say "all scenarios passed (nand, emmc-first, emmc-again, emmc-sysfs, $root_boot, root-other-board)"
  exit 0
fi
for b in "${failed_boots[@]}"; do
  echo "==== guest console of $b ($logs/$b.console) ===="
  cat "$logs/$b.console"
  echo "==== qemu of $b ===="
  cat "$logs/$b.qemu"
done
echo "==== failed checks ===="
printf '  %s\n' "${failures[@]}"
echo "vm: FAILED scenarios: ${failed_boots[*]}"
exit 1
