#!/usr/bin/env bash
# scripts/flash without hardware: OpenOCD reads the whole setup (probe, target,
# flash bank) and stops where it looks for the probe; with OpenOCD's dummy
# adapter it runs the script through to the erase, which shows the sectors it
# would erase. Usage: flash_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
src=$1 build=$2
flash=$src/scripts/flash
failures=0
check() {  # check NAME EXPECTED_RC PATTERN -- command...
  local name=$1 want=$2 pattern=$3; shift 4
  local out rc=0
  out=$("$@" 2>&1) || rc=$?
  if [ "$rc" -ne "$want" ] || ! grep -qE -- "$pattern" <<<"$out"; then
    echo "FAIL $name: exit $rc (want $want), looking for /$pattern/ in:"; sed 's/^/  | /' <<<"$out"
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
  last=$out
}

check "no probe named" 2 "say which probe" -- "$flash" velmora ""
check "unknown probe config" 2 "no OpenOCD interface config 'no-such-probe.cfg'" -- "$flash" velmora no-such-probe.cfg --build "$build"
check "tavlo has no store" 2 "only velmora keeps a parameter store" -- "$flash" tavlo jlink.cfg --erase-store --build "$build"

# The script as written: image pages only, unless the store is asked for.
check "script" 0 "parameter store \(0x8f000..0x8f400\) is kept" -- "$flash" velmora jlink.cfg --check --build "$build"
grep -q '^flash write_image erase ' "$build/flash-velmora.cfg" && grep -q '^verify_image ' "$build/flash-velmora.cfg" &&
  grep -q '^reset run' "$build/flash-velmora.cfg" && ! grep -q 'erase_address' "$build/flash-velmora.cfg" ||
  { echo "FAIL script content:"; cat "$build/flash-velmora.cfg"; failures=$((failures + 1)); }
check "script, store erased" 0 "erased too" -- "$flash" velmora jlink.cfg --check --erase-store --build "$build"
grep -q '^flash erase_address 0x8f000 0x400$' "$build/flash-velmora.cfg" ||
  { echo "FAIL erase-store content:"; cat "$build/flash-velmora.cfg"; failures=$((failures + 1)); }

# OpenOCD accepts the script up to the probe, and a missing probe is said so.
for probe in ftdi/olimex-arm-usb-ocd-h.cfg jlink.cfg; do
  check "missing $probe" 3 "no debug probe found for PROBE=$probe" -- "$flash" velmora "$probe" --build "$build"
  if grep -qiE 'invalid command|wrong # args|Unknown:' <<<"$last"; then
    echo "FAIL OpenOCD complained about the script:"; echo "$last"; failures=$((failures + 1))
  fi
done

# The dummy adapter answers nothing, so OpenOCD gets past init to the erase:
# the sectors it erases are the image's, all below the store (sector 120).
for node in velmora tavlo; do
  check "$node through a dummy adapter" 4 "no ADuC702x does on JTAG" -- "$flash" "$node" dummy.cfg --build "$build"
  last_sector=$(sed -n 's/.*erasing sectors 0 to \([0-9]*\).*/\1/p' <<<"$last" | head -n1)
  if [ -z "$last_sector" ] || [ "$last_sector" -ge 120 ]; then
    echo "FAIL $node: erased sectors up to '${last_sector}'"; failures=$((failures + 1))
  else
    echo "ok   $node erases sectors 0..$last_sector only"
  fi
done

[ "$failures" -eq 0 ]
