# shellcheck shell=sh
# SPDX-License-Identifier: MIT
# The key lifecycle of the encrypted root, whose recovery key "emmc-again"
# sealed to the vendor's certificate: on another board ("root-other-board",
# as after the secure-boot fuse is set) the console asks for it. The ARM
# board gets a wrong key, then the right one, boots and rotates the board
# key; the PC three wrong ones and a reboot, then binds the volume again in
# the test initramfs ("rebind") and rotates it there. "root-rotated": the
# root boots with the rotated key. Sourced by the guest's init (guest_*) and
# by tests/vm/run-vm-test.sh (host_*).

guest_rotate() {
  run_tool rotate --rotate /dev/mmcblk0p2 cryptroot
  run_tool rotate.status --status /dev/mmcblk0p2 cryptroot
}
guest_root_other_board() { guest_root_facts; guest_rotate; }
guest_rebind() {
  load_sd_card
  run_tool rebind --rebind /dev/mmcblk0p2 cryptroot </vmtest/recovery
  mkdir -p /mnt && mount -o ro /dev/mapper/cryptroot /mnt &&
    report root.data_md5 "$(md5sum </mnt/vmtest/data | cut -d' ' -f1)" && umount /mnt
  guest_rotate
  cryptsetup close cryptroot
}
guest_root_rotated() { guest_root_facts; }

# The vendor's side, with stock tools: the "sealed" field of the exported
# token decrypted with the private key gives the recovery key text, which
# the rebind boot finds in its initramfs.
host_escrow() {
  root_recovery=$(val emmc-again root.token | base64 -d | sed 's/.*"sealed":"\([^"]*\)".*/\1/' | base64 -d |
    openssl cms -decrypt -inform DER -inkey "$work/vendor.key") || true
  printf '%s' "$root_recovery" | grep -qxE '[A-Za-z0-9+/]{43}=' ||
    fail_check emmc-again "the vendor's openssl cms -decrypt of the token gave '$root_recovery', not a key text"
  mkdir -p "$work/recovery/vmtest"
  printf '%s\n' "$root_recovery" >"$work/recovery/vmtest/recovery"
  { cat "$work/initramfs.cpio"; to_cpio "$work/recovery"; } >"$work/initramfs-recovery.cpio"
}

# host_rotated BOOT STDERR: the rotation, then the report: the new board key
# in keyslot 0 (the first board's was removed there by the rebind), the
# recovery key still in 1, nothing left behind.
host_rotated() {
  open_time "$1" rotate "rotation"
  check_run "$1" rotate 0 '' "$2$new_slot"
  check_run "$1" rotate.status 0 "BOARD=emmc\nDISK=/dev/mmcblk0\nKEYRING=/dev/mmcblk0p4\nKEYRING_OFFSET=0\n\
PRIMARY=ok\nFALLBACK=none\nVOLUME=luks2\nKEY_OPENS=yes\nKEYSLOT=0\nKDF=pbkdf2\nTOKENS=2\nMAPPED=cryptroot\n\
MAPPED_AS_NAME=yes\nRECOVERY=yes\nBOARD_KEYSLOT=0\nSTRAY_KEYSLOTS=\n" "$2$no_fw_env"
}

# The open fails with the report's reason, then the prompt, never echoing
# what was typed (nor does the kernel log, shown at the end, hold it).
host_root_other_board() {
  local boot=root-other-board
  check_console $boot "[ERROR] main: open partition" "vmtest: lockwarden-tool --status exited with 255" \
    "REASON='the key blob at offset 0 of /dev/mmcblk0p4 is refused by the key blob device: made on another board, \
before the secure-boot fuse was set, or damaged (an empty place looks the same), and /etc/fw_env.config names no \
copy behind the U-Boot environment'" "lockwarden: the key blob device refuses the stored key of /dev/mmcblk0p2: \
type the volume's recovery key to bind it to this board again (try 1 of 3)" "Recovery key: "
  check_not_console $boot "$key_text"
  check_not_console $boot "$root_recovery"
  if [ "$arch" = armhf ]; then
    check_console $boot "[ERROR] replace_board_key: recovery key does not open keyslot 1" "(try 2 of 3)"
    host_root_facts $boot
    host_rotated $boot "$no_fdisk"
  else
    check_console $boot "[ERROR] read_recovery_key: not a 44-character key text" "(try 2 of 3)" \
      "[ERROR] replace_board_key: recovery key does not open keyslot 1" "(try 3 of 3)" \
      "[ERROR] read_recovery_key: not a 44-character key text" "lockwarden: /dev/mmcblk0p2 was not bound to this \
board again: the recovery key was not taken in three tries" "Rebooting automatically due to panic= boot argument"
    check_rebooted $boot
  fi
}

host_rebind() {
  open_time rebind rebind "rebind"
  check_run rebind rebind 0 '' "$new_slot"
  check rebind root.data_md5 "$(val emmc-first emmc.format.written_md5)" "data read back after the rebind"
  host_rotated rebind ''
  check_finished rebind
}
