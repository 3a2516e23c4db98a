# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# Part of tests/vm/run-vm-test.sh: Debian's kernel, its headers, a static
# BusyBox and, for armhf, cryptsetup with its libraries and the program's
# libcrypto, fetched with apt-get download into $work (kept as a cache:
# nothing is installed) and unpacked; then the module that adds the MTD
# partition "safe" and the guest's flash helper.

# The packages to fetch and their versions, "package version" a line, the
# kernel first: the one that linux-image-FLAVOUR names today (the archive
# keeps only recent ABI versions), then its headers, BusyBox and, for armhf,
# cryptsetup and every library it loads, and libcrypto (libssl3) for the
# program's escrow.
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
      --no-replaces --no-enhances "cryptsetup-bin$apt_arch" "libgcc-s1$apt_arch" "libssl3$apt_arch" |
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

# fetch_packages: downloads what is missing and unpacks it once; sets kroot,
# abi, kversion and kernel.
fetch_packages() {
  local step wanted p v to_fetch=() debs f image_pkg mods packages=()
  local -A version keep
  step=$(now)
  # Resolved again when apt's package lists change: each apt-cache run costs
  # seconds.
  wanted="$work/packages.wanted"
  if ! [ "$wanted" -nt "$here/lib/fetch.sh" ] || [ -n "$(find /var/lib/apt/lists -maxdepth 1 -newer "$wanted" -print -quit)" ]; then
    resolve_packages >"$wanted.new"
    mv "$wanted.new" "$wanted"
  fi
  while read -r p v; do
    packages+=("$p")
    version[$p]=$v
  done <"$wanted"
  image_pkg=${packages[0]%:*}
  abi=${image_pkg#linux-image-}                      # 6.1.0-57-armmp
  kversion=${version[${packages[0]}]}

  debs="$work/debs"
  mkdir -p "$debs"
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
}

# build_helpers: the safe_part module and the static mtdflash, each built
# again when its source or the kernel changed.
build_helpers() {
  local step modbuild
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
}
