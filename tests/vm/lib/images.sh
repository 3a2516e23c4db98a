# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# Part of tests/vm/run-vm-test.sh: the guest's initramfs, the initramfs of the
# encrypted root file system, and the SD card images.

# The board's fuse words and key blob device secret, for the simulator.
make_board() {
  mkdir -p "$1/board/sys/fsl_otp" "$1/board/dev"
  touch "$1/board/passthrough"
  echo 0x5afe0001 >"$1/board/sys/fsl_otp/HW_OCOTP_MAC0"
  echo 0x0000beef >"$1/board/sys/fsl_otp/HW_OCOTP_MAC1"
  echo "secret $2" >"$1/board/dev/caam_kb"
}

# to_cpio DIR [FIND_TESTS...]: DIR's files as a newc archive.
to_cpio() { (cd "$1" && shift && find . "$@" | LC_ALL=C sort | cpio -o -H newc --quiet); }

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

# build_initramfs: $work/initramfs.cpio, the guest of every boot but the
# encrypted root's: BusyBox, the program, the simulator, the real cryptsetup,
# the modules, the guest init and the scenarios' guest halves.
build_initramfs() {
  local step moddir m ko rel lib
  step=$(now)
  root="$work/initramfs"
  rm -rf "$root"
  mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,usr/lib,usr/local/sbin,vmtest}
  mkdir -p "$root"/{proc,sys,dev,tmp,run,etc,board}
  cp "$work/busybox/bin/busybox" "$root/bin/busybox"
  make_board "$root" vm-board-otpmk
  while read -r applet; do
    case "$applet" in */fdisk) continue ;; esac
    [ -e "$root/$applet" ] || ln -s /bin/busybox "$root/$applet"
  done < <(${guest_cmd[@]+"${guest_cmd[@]}"} "$root/bin/busybox" --list-full)
  install -m 0755 "$here/guest/init" "$root/init"
  install -m 0755 "$here/guest/fdisk" "$root/sbin/fdisk"
  install -m 0644 "$here"/scenarios/*.sh "$root/vmtest/"
  # Made here: awk takes seconds for it under emulation.
  awk 'BEGIN { l = "lockwarden-vm-plain-data\n"; for (n = 0; n + 25 <= 1048576; n += 25) printf "%s", l
    printf "%s", substr(l, 1, 1048576 - n) }' >"$root/vmtest/data"
  install -m 0755 "$sysroot/sbin/cryptsetup" "$root/sbin/cryptsetup"
  install -m 0755 "$tool" "$root/usr/sbin/lockwarden-tool"
  install -m 0755 "$simlib" "$root/usr/lib/libboardsim.so"
  install -m 0755 "$work/mtdflash" "$root/usr/sbin/mtdflash"
  printf 'report_port=%s\ncrypto_modules="%s"\nkey_text=%s\n' "$report_port" "$crypto_modules" "$key_text" \
    >"$root/etc/vmtest.conf"
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
  cp "$work/safe_part/safe_part.ko" "$moddir/extra/"
  cp "$kroot/lib/modules/$abi"/modules.{order,builtin,builtin.modinfo} "$moddir/"
  depmod -b "$root" "$abi"
  to_cpio "$root" >"$work/initramfs.cpio"
  say "initramfs $(du -m "$work/initramfs.cpio" | cut -f1) MiB built in $(since "$step") s"
}

# run_mkinitramfs CONFDIR CONFS OUTPUT: Debian's own mkinitramfs with the
# hook and the local-top script (their install prefix the build folders of
# the program and of the reader), on the downloaded kernel's modules, the
# NAME.conf files of CONFS; in a mount namespace of its own, since it takes
# them from fixed paths.
run_mkinitramfs() {
  command -v mkinitramfs >/dev/null || die "missing command mkinitramfs (scripts/deps.sh vm installs it)"
  mkdir -p /lib/modules /etc/lockwarden
  # shellcheck disable=SC2016 # the inner shell's arguments
  unshare -m sh -c 'mount --bind "$1/lib/modules" /lib/modules && mount --bind "$1/boot" /boot &&
    mount --bind "$2" /etc/lockwarden && mkinitramfs -d "$3" -o "$4" "$5"' sh \
    "$kroot" "$2" "$1" "$3.new" "$abi" >"$work/mkinitramfs.log" 2>&1 ||
    { cat "$work/mkinitramfs.log" >&2; die "mkinitramfs"; }
  # The kernel takes a later archive only at a 4-byte boundary.
  truncate -s %4 "$3.new"
  mv "$3.new" "$3"
}

# The PC's initramfs-tools configuration: the drivers of the board's disk and
# root file system as its integrator lists them, the pieces with the build
# folders for prefix, and a hook of the test's own that puts the board
# simulator under the program.
configure_initramfs_tools() {
  local itools=$1 sbindir
  sbindir=$(dirname "$tool")
  rm -rf "$itools"
  mkdir -p "$itools"/{conf/hooks,conf/scripts/local-top,etc,shell-etc,share/lockwarden-tool,"files$sbindir"}
  printf 'MODULES=list\nBUSYBOX=auto\nCOMPRESS=gzip\n' >"$itools/conf/initramfs.conf"
  printf '%s\n' sdhci-pci mmc_block ext4 >"$itools/conf/modules"
  cp "$contrib_build/lockwarden-conf.sh" "$itools/share/lockwarden-tool/"
  for piece in hook:hooks/lockwarden-tool local-top:scripts/local-top/lockwarden-tool; do
    sed -e "s|@LOCKWARDEN_SBINDIR@|$sbindir|" -e "s|@LOCKWARDEN_DATADIR@|$itools/share|" \
      "$contrib/initramfs-tools/${piece%%:*}.in" >"$itools/conf/${piece#*:}"
  done
  # Quoted values, as the reader takes them; the data partition, which holds
  # no file system, for the boot whose root does not mount.
  printf 'DEVICE="/dev/mmcblk0p2"\nTIMEOUT=30\nINITRAMFS=yes\n' >"$itools/etc/cryptroot.conf"
  printf "DEVICE='/dev/mmcblk0p3'\nINITRAMFS=yes\n" >"$itools/etc/cryptdata.conf"
  printf 'DEVICE=/dev/mmcblk0p2\nINITRAMFS=yes\nONFAIL=shell\n' >"$itools/shell-etc/cryptroot.conf"
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
}

# wrap WRAPPER PROGRAM: the program under the simulator; the exit status of a
# report on the console.
wrap() {
  printf '#!/bin/sh\nLD_PRELOAD=/usr/lib/libboardsim.so BOARD_SIM_ROOT=/board %s "$@"\nstatus=$?\n%s\nexit $status\n' "$2" \
    '[ "$1" != --status ] || echo "vmtest: lockwarden-tool --status exited with $status" >/dev/console' >"$1"
  chmod 0755 "$1"
}

# build_root_initramfs: $root_initrd, which opens the encrypted root: on the
# PC made by mkinitramfs (kept until its inputs change), on the ARM board the
# guest's initramfs without /proc, /sys, /dev, /run and /newroot, as a
# bundled one may be, under the BusyBox /init. initrd-other-board.img: the
# same on another board (a later archive with another key blob secret).
build_root_initramfs() {
  local step itools="$work/initramfs-tools" busybox_init="$work/busybox-init"
  step=$(now)
  if [ "$arch" = x86_64 ]; then
    if [ ! -f "$root_initrd" ] || [ -n "$(find "$tool" "$simlib" "$contrib/initramfs-tools" \
      "$contrib_build/lockwarden-conf.sh" "$here/lib/images.sh" "$work/.unpacked" -newer "$root_initrd" -print -quit)" ]; then
      configure_initramfs_tools "$itools"
      run_mkinitramfs "$itools/conf" "$itools/shell-etc" "$work/initrd-shell.img"
      run_mkinitramfs "$itools/conf" "$itools/etc" "$root_initrd"
    fi
  else
    rm -rf "$busybox_init"
    mkdir -p "$busybox_init"/{etc,usr/local/sbin}
    install -m 0755 "$contrib_build/initramfs/init" "$busybox_init/init"
    wrap "$busybox_init/usr/local/sbin/lockwarden-tool" /usr/sbin/lockwarden-tool
    # shellcheck disable=SC2086 # one module a word
    printf '%s\n' sdhci-pci mmc_block dm-crypt xts $crypto_modules algif_skcipher ext4 >"$busybox_init/etc/modules"
    { to_cpio "$work/initramfs" ! -path ./proc ! -path ./sys ! -path ./dev ! -path ./run
      to_cpio "$busybox_init"; } >"$root_initrd"
  fi
  rm -rf "$work/other-board"
  make_board "$work/other-board" other-board-otpmk
  { cat "$root_initrd"; to_cpio "$work/other-board"; } >"$work/initrd-other-board.img"
  say "initramfs of the encrypted root ready in $(since "$step") s"
}

# make_sd_images: the listing card (the layout of the real BusyBox fdisk
# fixture) and the eMMC card; sets safe_row. QEMU wants a power-of-two size.
make_sd_images() {
  local safe_first safe_last
  rm -f "$listing_img" "$emmc_img"
  truncate -s 64M "$listing_img"
  sgdisk -U 5AFE0000-1111-4222-8333-444455556666 -n 1:0:+8M -c 1:boot -n 2:0:+16M -c 2:rootfs \
    -n 3:0:+16M -c 3:data -n 4:0:+1M -c 4:safe "$listing_img" >/dev/null
  # The eMMC board: partition 1 a plain file system for a mistaken format,
  # 2 the encrypted root (a LUKS2 header and 24 MiB), 3 the data, named "safe
  # data" (a name that only begins with "safe" must not make it the
  # keyring), 4 the keyring.
  truncate -s 128M "$emmc_img"
  sgdisk -n 1:0:+8M -c 1:boot -n 2:0:+40M -c 2:rootfs -n 3:0:+64M -c "3:safe data" \
    -n 4:0:+1M -c 4:safe "$emmc_img" >/dev/null
  # The row BusyBox prints for partition 4, from sgdisk's own reading.
  safe_first=$(sgdisk -i 4 "$emmc_img" | sed -n 's/^First sector: \([0-9]*\) .*/\1/p')
  safe_last=$(sgdisk -i 4 "$emmc_img" | sed -n 's/^Last sector: \([0-9]*\) .*/\1/p')
  safe_row=$(printf '%6u %15u %15u 1024K safe' 4 "$safe_first" "$safe_last")
  # Old data over the whole keyring partition ("Z", 0x5a): a store must
  # change its first 80 bytes and nothing else.
  head -c 1048576 /dev/zero | tr '\0' Z |
    dd of="$emmc_img" bs=512 seek="$safe_first" conv=notrunc status=none
}
