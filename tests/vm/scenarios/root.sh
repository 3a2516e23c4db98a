# shellcheck shell=sh
# SPDX-License-Identifier: MIT
# Scenarios of the encrypted root file system that "emmc-again" made: the
# initramfs opens it and boots into it ("root-initramfs-tools" on the PC,
# Debian's mkinitramfs with the hook and local-top script; "root-busybox" on
# the ARM board, the BusyBox /init); a root that opens but holds no file
# system ("root-nofs"); and another board ("root-other-board"). The failures
# end in a reboot (QEMU exits), never in a shell. Sourced by the guest's init
# (guest_*) and by tests/vm/run-vm-test.sh (host_*).

# Booted from the encrypted root: / is the mapping of the LUKS partition, the
# kernel's words reached this init. Then -n -f on a mounted partition, which
# must fail before it stores anything, and the data volume, formatted
# without fdisk before the power cycle, opened with the stored key.
guest_root() {
  block=/sys/dev/block/$(awk '$5 == "/" { dev = $3 } END { print dev }' /proc/self/mountinfo)
  report root.device "$(cat "$block/dm/name") $(ls "$block/slaves") $(cut -c1-11 "$block/dm/uuid")"
  report root.options "$(awk '$5 == "/" { options = $6 } END { print options }' /proc/self/mountinfo)"
  report root.data_md5 "$(md5sum </vmtest/data | cut -d' ' -f1)"
  if [ -e /dev/mapper/cryptdata ]; then
    report root.initramfs_opened_data yes
    cryptsetup close cryptdata
  fi
  mount /dev/mmcblk0p1 /mnt
  before=$(blob_md5)
  run_tool root.busy -n -f /dev/mmcblk0p1 cryptboot
  [ "$(blob_md5)" = "$before" ]
  report root.busy.blob_unchanged $?
  umount /mnt
  run_tool root.data /dev/mmcblk0p3 cryptdata
  read_data root.data /dev/mapper/cryptdata
}
guest_root_initramfs_tools() { guest_root; }
guest_root_busybox() { guest_root; }

host_root() {
  check "$1" board "$1"
  check "$1" root.device "cryptroot mmcblk0p2 CRYPT-LUKS2" "/ is the mapping of the LUKS partition"
  check "$1" root.data_md5 "$(val emmc-first emmc.format.written_md5)" "data read back from /"
  check "$1" init.args single "a word the kernel hands to init reaches the root's init"
  check "$1" root.options rw,noatime "rootflags= reaches the mount"
  # Both volumes of the initramfs's NAME.conf files; the BusyBox /init opens the root alone.
  [ "$arch" = armhf ] || check "$1" root.initramfs_opened_data yes
  check_run "$1" root.busy 255 '[ERROR] main: format partition\n' \
    "${no_fdisk}Cannot exclusively open /dev/mmcblk0p1, device in use.\n"
  check "$1" root.busy.blob_unchanged 0 "a failed format stores nothing"
  check_run "$1" root.data 0 '' "$no_fdisk"
  check "$1" root.data.read_md5 "$(val emmc-again emmc2.format.written_md5)" \
    "the old key still opens the volume formatted without fdisk, after power cycles"
  check_finished "$1"
}

# The root's mapping opens but holds no file system: the mapping is closed,
# then a reboot (at once: the kernel command line has panic=-1, which wins
# over the hook's panic=10, checked in the initramfs itself).
host_root_nofs() {
  check_rebooted root-nofs
  if [ "$arch" = x86_64 ]; then
    check_console root-nofs "lockwarden: closed /dev/mapper/cryptdata" \
      "lockwarden: /dev/mapper/cryptdata, the root file system, holds no file system" \
      "Rebooting automatically due to panic= boot argument"
    check_not_console root-nofs "(initramfs)"
  else
    check_console root-nofs \
      "lockwarden: the encrypted root file system was not opened: cannot mount /dev/mapper/cryptdata" \
      "lockwarden: closed /dev/mapper/cryptdata" "lockwarden: this initramfs was built without a shell" \
      "lockwarden: rebooting in 0 s"
    check_not_console root-nofs "a shell; leave it"
  fi
}

# Another board: the program's lines, the report's reason (from a report
# that ends with 255) and what failed, then a reboot.
host_root_other_board() {
  check_rebooted root-other-board
  check_console root-other-board "vmtest: lockwarden-tool --status exited with 255"
  check_console root-other-board "[ERROR] main: open partition" "REASON='the key blob at offset 0 of /dev/mmcblk0p4 \
is refused by the key blob device: made on another board, before the secure-boot fuse was set, or damaged (an empty \
place looks the same), and /etc/fw_env.config names no copy behind the U-Boot environment'"
  if [ "$arch" = x86_64 ]; then
    check_console root-other-board "[ERROR] main: open partition" \
      "lockwarden: opening /dev/mmcblk0p3 as cryptdata failed: the lines of lockwarden-tool above name the step that failed"
  else
    check_console root-other-board "[ERROR] main: open partition" \
      "lockwarden: the encrypted root file system was not opened: opening /dev/mmcblk0p2 as cryptroot failed: the lines of lockwarden-tool above name the step that failed" \
      "lockwarden: rebooting in 0 s"
  fi
}
