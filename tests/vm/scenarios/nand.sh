# shellcheck shell=sh
# SPDX-License-Identifier: MIT
# Scenario "nand": a raw NAND board. Sourced by the guest's init (which runs
# guest_nand) and by tests/vm/run-vm-test.sh (which runs host_nand on what
# the guest reported).

# 128 MiB nandsim chip, 128 KiB erase blocks, 2 KiB pages, chip blocks 1 and
# 3 bad. The "safe" partition starts at chip block 1, so its own first erase
# block is bad and its third too. The U-Boot environment copies sit on the
# chip device at 2 MiB and 2 MiB + 128 KiB; the fallback place of the key blob
# is right behind the second, at 0x240000.
guest_nand() {
  cat >/etc/fw_env.config <<'EOF'
# MTD device name	Device offset	Env. size	Flash sector size	Number of sectors
/dev/mtd0	0x200000	0x20000	0x20000	1
/dev/mtd0	0x220000	0x20000	0x20000	1
EOF
  modprobe nandsim id_bytes=0xec,0xa1,0x00,0x15 badblocks=1,3
  modprobe safe_part parent=0 offset=0x20000 size=0x100000 name=safe
  modprobe brd rd_nr=1 rd_size=32768
  report nand.proc_mtd "$(base64 -w0 /proc/mtd)"
  safe=/dev/$(sed -n 's/^\(mtd[0-9]*\):.*"safe"$/\1/p' /proc/mtd)
  report nand.safe.device "$safe"
  report nand.safe.info "$(mtdflash info "$safe")"
  report nand.safe.bad "$(mtdflash bad "$safe")"
  report nand.chip.bad "$(mtdflash bad /dev/mtd0)"

  # The BusyBox listing stand-in, on an SD card laid out like a fixture
  # listing of the real BusyBox 1.36 fdisk.
  load_sd_card
  report fdisk.listing "$(/sbin/fdisk -l /dev/mmcblk0 | base64 -w0)"

  # Old data in the erase block the key blob will land in: only an erase
  # before programming leaves it reading as erased flash.
  head -c 131072 /dev/zero | tr '\0' Z >/tmp/old
  mtdflash write "$safe" 0x20000 /tmp/old

  run_tool nand.newkey -n
  # The store is checked by reading the page back from the flash and having
  # the key blob device unwrap it: the second request.
  report nand.newkey.requests "$(sed -n 's/^caam //p' /board/sim.log | tr '\n' ';')"
  report nand.page.blob_not_ff "$(differing "$safe" 0x20000 80 0xff)"
  report nand.page.tail_not_zero "$(differing "$safe" 0x20050 1968 0)"
  report nand.block.rest_not_ff "$(differing "$safe" 0x20800 129024 0xff)"
  report nand.later_blocks_not_ff "$(differing "$safe" 0x40000 0xc0000 0xff)"

  # A fresh process recovers the key: format and open a LUKS volume on a
  # RAM disk, close it, open it again.
  run_tool nand.format -f /dev/ram0 cryptnand
  write_data nand.format /dev/mapper/cryptnand
  cryptsetup close cryptnand
  run_tool nand.open /dev/ram0 cryptnand
  read_data nand.open /dev/mapper/cryptnand
  cryptsetup close cryptnand

  # The provisioning copy behind the U-Boot environment, then the primary
  # area erased: the key must come from the copy.
  dd if="$safe" of=/tmp/page bs=2048 skip=64 count=1 2>/dev/null
  mtdflash erase /dev/mtd0 0x240000
  mtdflash write /dev/mtd0 0x240000 /tmp/page
  mtdflash erase "$safe" 0x20000
  report nand.primary_not_ff "$(differing "$safe" 0x20000 131072 0xff)"
  run_tool nand.fallback /dev/ram0 cryptnand
  read_data nand.fallback /dev/mapper/cryptnand
  cryptsetup close cryptnand 2>/dev/null

  # With the copy erased as well there is no key: the success above came
  # from the copy.
  mtdflash erase /dev/mtd0 0x240000
  run_tool nand.nokey /dev/ram0 cryptnand
}

host_nand() {
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
  check nand nand.open.read_md5 "$(val nand nand.format.written_md5)" "data read back"
  check nand nand.primary_not_ff 0 "primary keyring block erased"
  check_run nand nand.fallback 0 'Skipping bad block\n'
  check nand nand.fallback.read_md5 "$(val nand nand.format.written_md5)" "data read back"
  check_run nand nand.nokey 255 'Skipping bad block\n[ERROR] get_plain_key: decrypt ioctl\n[ERROR] cryptsetup_open: recover key\n[ERROR] main: open partition\n'
  check_file nand fdisk.listing "$fixture" "the fdisk stand-in against the real BusyBox 1.36 listing"
  check_finished nand
}
