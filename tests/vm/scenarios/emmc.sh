# shellcheck shell=sh
# SPDX-License-Identifier: MIT
# Scenarios "emmc-first" and "emmc-again": an eMMC board, the SD card
# /dev/mmcblk0 with a GPT made on the host; partition 3 holds the encrypted
# data, partition 4 is "safe" (1 MiB). Sourced by the guest's init (guest_*)
# and by tests/vm/run-vm-test.sh (host_*).

guest_emmc_first() {
  load_sd_card
  report emmc.fdisk_safe_row "$(/sbin/fdisk -l /dev/mmcblk0 | grep ' safe$')"
  # The host filled the keyring partition with "Z" (0x5a).
  run_tool emmc.newkey -n
  report emmc.newkey.requests "$(sed -n 's/^caam //p' /board/sim.log | tr '\n' ';')"
  # Partition 3 is named "safe data": not the keyring, whose name is exactly "safe".
  report emmc.p3_not_zero "$(differing /dev/mmcblk0p3 0 4096 0)"
  report emmc.blob_not_old "$(differing /dev/mmcblk0p4 0 80 0x5a)"
  report emmc.rest_not_old "$(differing /dev/mmcblk0p4 80 1048496 0x5a)"
  report emmc.blob_md5 "$(blob_md5)"

  run_tool emmc.format -f /dev/mmcblk0p3 cryptdata
  report emmc.mapping "$(cat /sys/block/dm-0/dm/name 2>/dev/null) $(cryptsetup status cryptdata | sed -n 's/^ *type: *//p')"
  header=$(cryptsetup luksDump /dev/mmcblk0p3 | sed -n 's/^Version:[[:space:]]*//p;s/^[[:space:]]*PBKDF:[[:space:]]*//p')
  report emmc.luks_header "$(echo $header)"
  write_data emmc.format /dev/mapper/cryptdata
  read_data emmc.format /dev/mapper/cryptdata
  # The text is there through dm-crypt, and not on the partition where
  # dm-crypt put it (offset in 512-byte sectors).
  report emmc.plain_on_mapper "$(dd if=/dev/mapper/cryptdata bs=65536 count=16 2>/dev/null | grep -c -a -F "$MARKER")"
  start=$(cryptsetup status cryptdata | sed -n 's/^ *offset: *\([0-9]*\) sectors/\1/p')
  report emmc.data_offset "$start"
  cryptsetup close cryptdata
  report emmc.plain_on_card "$(dd if=/dev/mmcblk0p3 bs=65536 skip=$((${start:-0} * 512)) count=16 \
    iflag=skip_bytes 2>/dev/null | grep -c -a -F "$MARKER")"
  sync
}

host_emmc_first() {
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
  check emmc-first emmc.format.read_md5 "$(val emmc-first emmc.format.written_md5)" "data read back"
  check_nonzero emmc-first emmc.plain_on_mapper
  check_nonzero emmc-first emmc.data_offset
  check emmc-first emmc.plain_on_card 0 "plain data on the partition under dm-crypt"
  check_finished emmc-first
}

# The same card after a power cycle: the stored blob opens the volume. Then
# a board without fdisk (util-linux's fdisk prints no GPT names, and many
# images have none): the keyring partition is the one the kernel names
# "safe" from the GPT (PARTNAME in sysfs). On it, the encrypted root file
# system of the next boots, on partition 2: formatted by cryptsetup itself
# with its default key derivation, argon2id, whose threads need libgcc_s (its
# cost and keyslot area kept small for the emulator), for the key of a kept
# key text, which
# then recovers the volume for this board; BusyBox, the guest's init as an
# absolute /sbin/init symlink, and the data on it. Then a plain file system
# on partition 1, and a new volume on partition 3 with the recovered key.
make_root() {
  mkdir -p /mnt
  mke2fs -L root /dev/mapper/cryptroot >/dev/null && mount /dev/mapper/cryptroot /mnt || return 1
  # All but the modules: the root's initramfs loads them.
  for dir in /bin /sbin /usr /etc /lib/* /lib64 /board /vmtest; do
    [ ! -e "$dir" ] || [ "$dir" = /lib/modules ] || { mkdir -p "/mnt${dir%/*}" && cp -a "$dir" "/mnt${dir%/*}/"; } ||
      return 1
  done
  mkdir /mnt/dev /mnt/proc /mnt/sys /mnt/tmp /mnt/run /mnt/mnt &&
    cp /init /mnt/sbin/init.vmtest && ln -sf /sbin/init.vmtest /mnt/sbin/init && umount /mnt
}

guest_emmc_again() {
  load_sd_card
  report emmc2.blob_md5 "$(blob_md5)"
  run_tool emmc2.status_closed --status /dev/mmcblk0p3 cryptdata
  run_tool emmc2.open /dev/mmcblk0p3 cryptdata
  read_data emmc2.open /dev/mapper/cryptdata
  run_tool emmc2.status_open --status /dev/mmcblk0p3 cryptdata
  cryptsetup close cryptdata
  rm /sbin/fdisk
  report emmc2.p4_partname "$(sed -n 's/^PARTNAME=//p' /sys/class/block/mmcblk0p4/uevent)"
  run_tool emmc2.partname /dev/mmcblk0p3 cryptdata
  read_data emmc2.partname /dev/mapper/cryptdata
  cryptsetup close cryptdata

  printf '%s' "$key_text" | base64 -d >/tmp/key
  cryptsetup luksFormat -q --type luks2 --pbkdf argon2id --pbkdf-memory 8192 \
    --pbkdf-force-iterations 4 --luks2-keyslots-size 1m -d /tmp/key /dev/mmcblk0p2
  header=$(cryptsetup luksDump /dev/mmcblk0p2 |
    sed -n 's/^Version:[[:space:]]*//p;s/^[[:space:]]*PBKDF:[[:space:]]*//p;s/^[[:space:]]*Threads:[[:space:]]*//p')
  report root.luks_header "$(echo $header)"
  run_tool root.recover --newkey="$key_text" /dev/mmcblk0p2 cryptroot
  make_root
  report root.made $?
  cryptsetup close cryptroot
  mke2fs -L boot /dev/mmcblk0p1 >/dev/null
  run_tool emmc2.format -f /dev/mmcblk0p3 cryptdata
  write_data emmc2.format /dev/mapper/cryptdata
  cryptsetup close cryptdata
  sync
}

host_emmc_again() {
  open_time emmc-again emmc2.open "open"
  open_time emmc-again root.recover "recovery of the argon2id volume"
  check emmc-again board emmc-again
  check emmc-again emmc2.blob_md5 "$(val emmc-first emmc.blob_md5)" "the stored blob survives"
  check_run emmc-again emmc2.open 0 ''
  # The report before and after the open, from the real kernel's sysfs.
  status="BOARD=emmc\nDISK=/dev/mmcblk0\nKEYRING=/dev/mmcblk0p4\nKEYRING_OFFSET=0\nPRIMARY=ok\nFALLBACK=none\n"
  status="${status}VOLUME=luks2\nKEY_OPENS=yes\nKEYSLOT=0\nKDF=pbkdf2\nTOKENS=0\n"
  no_fw_env='[ERROR] get_keydev_and_offset_from_fwenv: Failed to open /etc/fw_env.config\n'
  check_run emmc-again emmc2.status_closed 0 "${status}MAPPED=no\nMAPPED_AS_NAME=no\n" "$no_fw_env"
  check_run emmc-again emmc2.status_open 0 "${status}MAPPED=cryptdata\nMAPPED_AS_NAME=yes\n" "$no_fw_env"
  check emmc-again emmc2.open.read_md5 "$(val emmc-first emmc.format.written_md5)" "data read back after the power cycle"
  # Without fdisk: the shell's complaint, then the partition the kernel names "safe".
  check emmc-again emmc2.p4_partname safe "the GPT name of partition 4 in sysfs"
  check_run emmc-again emmc2.partname 0 '' "$no_fdisk"
  check emmc-again emmc2.partname.read_md5 "$(val emmc-first emmc.format.written_md5)" \
    "data read back, keyring found by its partition name"
  # argon2id with as many threads as the machine has CPUs, up to 4 (the PC's 2).
  check emmc-again root.luks_header "2 argon2id $cpus" "cryptsetup's own key derivation"
  check_run emmc-again root.recover 0 '' "$no_fdisk"
  check emmc-again root.made 0 "the root file system made and filled"
  check_run emmc-again emmc2.format 0 '' "$no_fdisk"
  check_finished emmc-again
}
