# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# Part of tests/vm/run-vm-test.sh: booting the guest and checking what it
# reports. The guest sends name=value lines on a serial port of its own; a
# boot's values are value["BOOT:name"]. Failed checks are collected, and the
# consoles of the boots they belong to are shown at the end.

declare -A value
boot_times=()
failures=()
failed_boots=()

# boot NAME SDIMAGE CMDLINE [INITRD [ANSWER...]]: runs the guest to its
# power-off or reboot (QEMU exits on either) and loads its report. Each
# ANSWER is typed on the console, a line, once the program has asked for
# the recovery key once more.
boot() {
  local name=$1 image=$2 cmdline=$3 initrd=${4:-$work/initramfs.cpio} started status machine qemu_pid input asked=0
  shift $(($# < 4 ? $# : 4))
  started=$(now)
  status=0
  case $arch in
    x86_64)
      machine=(-accel tcg -cpu max -m 2G -smp "$cpus" -serial "file:$logs/$name.report")
      ;;
    armhf)
      # The armmp kernel has no LPAE: with highmem the PCI configuration
      # space sits above 4 GiB, out of its reach, and there is no PCI at all.
      # A second vCPU is slower on a two-core build machine.
      # shellcheck disable=SC2054 # QEMU option lists, not array elements
      machine=(-M virt,highmem=off -cpu cortex-a15 -m 1024 -smp "$cpus" -nic none
        -chardev "file,id=report,path=$logs/$name.report" -device pci-serial,chardev=report)
      ;;
  esac
  # The console is the first serial port on both. A format wipes cryptsetup's
  # default 16 MiB keyslot area, which takes tens of seconds under TCG on a
  # loaded build machine.
  rm -f "$logs/$name.input"
  mkfifo "$logs/$name.input"
  timeout 300 "$qemu" -chardev stdio,id=console,signal=off -serial chardev:console "${machine[@]}" \
    -nodefaults -display none -no-reboot -kernel "$kernel" -initrd "$initrd" \
    -append "console=$console loglevel=4 panic=-1 $cmdline vmtest=$name" \
    -device sdhci-pci -device sd-card,drive=card \
    -drive "id=card,if=none,format=raw,file=$image" \
    <"$logs/$name.input" >"$logs/$name.console" 2>"$logs/$name.qemu" &
  qemu_pid=$!
  exec {input}>"$logs/$name.input"
  for answer in "$@"; do
    asked=$((asked + 1))
    while [ "$(grep -o -F 'Recovery key: ' "$logs/$name.console" | wc -l)" -lt $asked ] && kill -0 $qemu_pid 2>/dev/null; do
      sleep 0.5
    done
    # The program turns echo off right after its prompt.
    sleep 1
    # A subshell: a guest gone by then kills it, not the test, with SIGPIPE.
    (printf '%s\n' "$answer" >&"$input") 2>/dev/null || true
  done
  wait $qemu_pid || status=$?
  exec {input}>&-
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

# val BOOT KEY: a reported value, for comparing one boot with another.
val() { printf '%s' "${value["$1:$2"]-<$2 of $1 not reported>}"; }

fail_check() {
  failures+=("[$1] $2")
  case " ${failed_boots[*]} " in *" $1 "*) ;; *) failed_boots+=("$1") ;; esac
}
# check BOOT KEY EXPECTED [DESCRIPTION]: exact comparison of one reported value.
check() {
  local got=${value["$1:$2"]-<not reported>}
  [ "$got" = "$3" ] || fail_check "$1" "$2: expected '$3', got '$got'${4:+ ($4)}"
}
# check_text BOOT KEY TEXT: a base64 value against printf-style TEXT, byte
# for byte (the x keeps trailing newlines through the substitution).
check_text() {
  local got want
  got=$(printf '%s' "${value["$1:$2"]-}" | base64 -d 2>/dev/null; echo x)
  # shellcheck disable=SC2059 # TEXT is a format
  want=$(printf "$3"; echo x)
  if [ -z "${value["$1:$2"]+set}" ]; then
    fail_check "$1" "$2: not reported"
  elif [ "$got" != "$want" ]; then
    fail_check "$1" "$2: expected $(printf '%q' "${want%x}"), got $(printf '%q' "${got%x}")"
  fi
}
# check_file BOOT KEY FILE DESCRIPTION: a base64 value against a file's bytes.
check_file() {
  local got="$logs/$1.$2"
  printf '%s' "${value["$1:$2"]-}" | base64 -d >"$got" 2>/dev/null || true
  cmp -s "$got" "$3" || fail_check "$1" "$2 differs from $3 ($4):"$'\n'"$(diff "$3" "$got" || true)"
}
# check_nonzero BOOT KEY: a count that must be positive.
check_nonzero() {
  local got=${value["$1:$2"]-<not reported>}
  [[ "$got" =~ ^[0-9]+$ ]] && [ "$got" -gt 0 ] || fail_check "$1" "$2: expected a positive count, got '$got'"
}
# check_run BOOT STEP STATUS STDOUT [STDERR]: one run of the program; stderr
# is empty unless given.
check_run() {
  check "$1" "$2.status" "$3" "exit status"
  check_text "$1" "$2.stdout" "$4"
  check_text "$1" "$2.stderr" "${5-}"
}
# check_finished BOOT: the guest ran its whole scenario.
check_finished() {
  [ -n "${value["$1:done.uptime"]+set}" ] || fail_check "$1" "the guest did not finish"
}
# check_console BOOT TEXT...: lines of the guest's console hold each TEXT,
# in this order.
check_console() {
  local boot=$1 at=0 line
  shift
  for text in "$@"; do
    # grep stops at the first match: tail may meet a closed pipe.
    line=$(tail -n +$((at + 1)) "$logs/$boot.console" | grep -n -m 1 -F -- "$text" | cut -d: -f1) || true
    if [ -z "$line" ]; then
      fail_check "$boot" "not on the console after line $at: $text"
      return
    fi
    at=$((at + line))
  done
}
# check_not_console BOOT TEXT: no line of the guest's console holds TEXT.
check_not_console() {
  ! grep -qF -- "$2" "$logs/$1.console" || fail_check "$1" "on the console: $2"
}
# rebooted BOOT: the guest ended in a reboot (QEMU exits on it), within the
# boot's time.
check_rebooted() { check "$1" qemu.status 0 "rebooted"; }

# check_initramfs_tools INITRD SHELL_INITRD: the hook's panic=10 and panic
# script are in the initramfs, and left out of one whose NAME.conf says
# ONFAIL=shell.
check_initramfs_tools() {
  local f listing shell_listing
  listing=$(lsinitramfs "$1")
  shell_listing=$(lsinitramfs "$2")
  for f in conf/conf.d/lockwarden scripts/panic/lockwarden-tool; do
    grep -qx "$f" <<<"$listing" || fail_check mkinitramfs "$f is missing from $1"
    ! grep -qx "$f" <<<"$shell_listing" || fail_check mkinitramfs "$f is in $2, made with ONFAIL=shell"
  done
  [ "$(zcat "$1" | cpio -i --quiet --to-stdout conf/conf.d/lockwarden)" = panic=10 ] ||
    fail_check mkinitramfs "conf/conf.d/lockwarden of $1 does not hold panic=10"
}

# open_time BOOT STEP WHAT: how long the guest's run STEP of the program took.
open_time() {
  say "boot $1: $3 in ${value["$1:$2.seconds"]-<not reported>} s"
}

# summary: 0 when every check passed; otherwise the consoles of the boots
# that failed and the failed checks.
summary() {
  say "timings: ${boot_times[*]}; total $(since "$test_start") s"
  if [ ${#failures[@]} -eq 0 ]; then
    say "all scenarios passed ($*)"
    return 0
  fi
  for b in "${failed_boots[@]}"; do
    [ -f "$logs/$b.console" ] || continue
    echo "==== guest console of $b ($logs/$b.console) ===="
    cat "$logs/$b.console"
    echo "==== qemu of $b ===="
    cat "$logs/$b.qemu"
  done
  echo "==== failed checks ===="
  printf '  %s\n' "${failures[@]}"
  echo "vm: FAILED scenarios: ${failed_boots[*]}"
  return 1
}
