#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs the Debian 12 packages a stage needs, when they are missing.
# Usage: scripts/deps.sh [--list] STAGE...   (build, demo, sanitize, valgrind, arm,
#                                    fuzz, analyse, package, vm, all)
set -eu

packages_for() {
  case "$1" in
    build)    echo "cmake g++ make git libgtest-dev libssl-dev cryptsetup-bin gdisk keyutils" ;;
    demo)     echo "cmake g++ make git cryptsetup-bin" ;;
    sanitize) echo "cmake g++ make libgtest-dev libssl-dev cryptsetup-bin gdisk" ;;
    valgrind) echo "valgrind" ;;
    arm)      echo "g++-arm-linux-gnueabihf g++-aarch64-linux-gnu qemu-user file git libssl-dev:armhf libssl-dev:arm64" ;;
    fuzz)     echo "clang libclang-rt-14-dev libssl-dev" ;;
    analyse)  echo "clang-tidy cppcheck" ;;
    package)  echo "cmake g++ make git build-essential debhelper dpkg-dev lintian mandoc man-db shellcheck systemd file" \
                   "crossbuild-essential-armhf crossbuild-essential-arm64 libc6-dev:armhf libc6-dev:arm64" \
                   "libssl-dev:armhf libssl-dev:arm64" \
                   "python3-magic flake8" ;;
    vm)       echo "qemu-system-x86 qemu-system-arm qemu-user g++-arm-linux-gnueabihf gdisk cryptsetup-bin kmod cpio xz-utils gcc make binutils libc6-dev libelf1 initramfs-tools openssl libssl-dev libssl-dev:armhf" ;;
    all)      for s in build sanitize valgrind arm fuzz analyse package vm; do packages_for "$s"; done ;;
    *)        echo "deps.sh: unknown stage $1" >&2; exit 2 ;;
  esac
}

list_only=0
if [ "${1:-}" = "--list" ]; then
  list_only=1
  shift
fi

wanted=""
for stage in "$@"; do
  wanted="$wanted $(packages_for "$stage")"
done

if [ "$list_only" -eq 1 ]; then
  echo $wanted | tr ' ' '\n' | sort -u | tr '\n' ' '
  echo
  exit 0
fi

# The ARM virtual machine's kernel, BusyBox and cryptsetup are downloaded
# (never installed) from the armhf archive, which apt must know; the arm and
# package stages build against the armhf and arm64 C libraries and libcrypto.
foreign=""
case " $* " in *" vm "* | *" arm "* | *" package "* | *" all "*) foreign="armhf" ;; esac
case " $* " in *" arm "* | *" package "* | *" all "*) foreign="$foreign arm64" ;; esac
added=0
for arch in $foreign; do
  dpkg --print-foreign-architectures | grep -qx "$arch" && continue
  if [ "$(id -u)" -ne 0 ]; then
    echo "The $arch archive is missing: as root, dpkg --add-architecture $arch && apt-get update" >&2
    exit 1
  fi
  dpkg --add-architecture "$arch"
  added=1
done
if [ "$added" -eq 1 ]; then
  apt-get update -q
fi

missing=""
for p in $wanted; do
  case " $missing " in *" $p "*) continue ;; esac
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing Debian packages:$missing" >&2
  echo "Install them as root: apt-get install -y$missing" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
if [ -z "${LOCKWARDEN_APT_UPDATED:-}" ]; then
  apt-get update -q
fi
# qemu-system-x86 would pull a desktop's worth of recommends.
apt-get install -y -q --no-install-recommends $missing
