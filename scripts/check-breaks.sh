#!/usr/bin/env bash
# Breaks the Windows half (and the Linux parts tested alongside it) on purpose, one
# change at a time, and shows which suite catches each: the suite must fail with the
# break and pass without it. Not part of CI (it rebuilds and runs a suite per break,
# some minutes in all). Needs the builds of scripts/build.sh and scripts/build-windows.sh.
#
#   bash scripts/check-breaks.sh            every break
#   bash scripts/check-breaks.sh 3 5        only breaks 3 and 5 (numbers as listed)
#
# Each break replaces one exact piece of source text; a break whose text is no longer
# in the file is reported as stale (the code changed: update the break).
set -uo pipefail
cd "$(dirname "$0")/.."

# system|file|suite|what the break does|text|replacement (\n for new lines); numbered from 1
breaks=(
  "win|crash/crash_handler_win.cpp|test_crash_dump|the minidump is written without exception information|g_exception ? &exception : nullptr|nullptr"
  "win|crash/crash_handler_win.cpp|test_crash_dump|the dump path is read in the ANSI code page|MultiByteToWideChar(CP_UTF8, 0, path,|MultiByteToWideChar(CP_ACP, 0, path,"
  "win|crash/crash_handler_win.cpp|test_crash_dump|the reporter's command line is read in the ANSI code page|MultiByteToWideChar(CP_UTF8, 0, commandLine,|MultiByteToWideChar(CP_ACP, 0, commandLine,"
  "win|platform/system_mouse_win.cpp|test_platform_seam|setWheelScrollLines always answers false|bool setWheelScrollLines(long long lines)\n{|bool setWheelScrollLines(long long lines)\n{\n    return false;"
  "win|platform/file_access_win.cpp|test_platform_seam|folderDeniesWriting always answers false|bool folderDeniesWriting(const std::string &folder)\n{|bool folderDeniesWriting(const std::string &folder)\n{\n    return false;"
  "win|platform/termination_signals_win.cpp|test_platform_seam|WM_QUERYENDSESSION raises SIGTERM|    case WM_QUERYENDSESSION:\n|    case WM_QUERYENDSESSION:\n        deliver(SIGTERM);\n"
  "win|libdc/sim_files_win.cpp|test_libdc_load|the simulator's file lock is stubbed out (no LockFileEx)|int flock(int fd, int operation)\n{|int flock(int fd, int operation)\n{\n    return 0;"
  "win|platform/user_rights_win.cpp|test_platform_seam|runsWithAdministratorRights answers the opposite|    return elevated;|    return !elevated;"
  "win|platform/process_control_win.cpp|test_platform_seam|endProcess answers success without ending the process|const BOOL ended = TerminateProcess(process, 1);|const BOOL ended = TRUE;"
  "win|platform/program_path_win.cpp|test_platform_seam|program paths are compared byte for byte on Windows|std::string programPathKey(const std::string &path)\n{|std::string programPathKey(const std::string &path)\n{\n    return path;"
  "win|crash/signal_safe_win.cpp|test_crash_dump|the crash writer's writeAll writes nothing|    if (fd < 0)\n        return false;|    if (fd >= 0)\n        return true;"
  "win|libdc/host/dchost_main.cpp|test_dchost|dchost does not forward data reports|    message.u32(reserved);\n    forward(message);|    message.u32(reserved);"
  "win|libdc/host/dc_host_client.cpp|test_dchost|the host client drops the bytes the library wrote|        std::memcpy(buffer, bytes->data(), size);\n|"
  "win|libdc/host/dc_host_client.cpp|test_dchost|a callback registration the library refused is kept|    if (result != DC_OK && holder) {|    if (false) {"
  "win|libdc/host/dchost_main.cpp|test_dchost|dchost reads its arguments in the ANSI code page|platform::programArguments(argc, argv)|std::vector<std::string>(argv, argv + argc)"
  "win|libdc/host/library_machine.cpp|test_dchost|a 32-bit library is taken for one the process can load|return sizeof(void *) == 8 && machine == LibraryMachine::X86;|return false;"
  "linux|libdc/host/library_machine.cpp|test_devices_handler|the device manager loads a 32-bit library in-process|return sizeof(void *) == 8 && machine == LibraryMachine::X86;|return false;"
  "linux|libdc/host/dc_host_client.cpp|test_devices_handler|the host client sends the transfer block cut to size|    return size > DC_TRANSFER_SIZE ? size : DC_TRANSFER_SIZE;|    return size;"
  "linux|platform/system_mouse_linux.cpp|test_platform_seam|kwriteconfig takes a negative pointer speed for options|{\"--key\", key, \"--\", value}|{\"--key\", key, value}"
  "linux|common/text_file.cpp|test_common|an atomic write commits what the disk did not take (no flush first)|!file.flush()) {|false) {"
  "linux|common/text_file.cpp|test_bridge_profiles|an in-place write overwrites the old content before the file has grown|if (data.size() > oldSize) {|if (false) {"
  "linux|common/text_file.cpp|test_common|readTextFile opens a named pipe|QFileInfo(path).isFile()|true"
  "linux|common/client_settings.cpp|test_common|the settings open a named pipe in conf.xml's place|QFileInfo(path).isFile()|true"
  "linux|desktop/process_moniter.cpp|test_process_moniter|the monitor opens a named pipe in the mode document's place|QFileInfo(modeDocument).isFile()|true"
  "linux|update/installers.cpp|tst_installers|an update file copy commits what the disk did not take|    if (!output.flush())\n        return CopyResult::Failed;\n|"
  "linux|update/client_install.cpp|tst_startup_check|an update note commits what the disk did not take|&& file.flush() &&|&&"
  "linux|common/autostart.cpp|test_install|the autostart entry commits what the disk did not take|!file.flush()|false"
  "linux|common/client_settings.cpp|test_common|the settings text is read a second time as UTF-8|    m_text = decodeText(utf8);|    readTextFile(path, &m_text);"
  "linux|common/text_file.cpp|test_common|a file root replaces becomes root's|    restoreOwner(before, data.size());|    Q_UNUSED(before);"
  "linux|common/autostart.cpp|test_install|the autostart entry is opened when it is a named pipe|QFileInfo(file.fileName()).isFile()|true"
)

# replace <file> <text> <replacement>: exit 1 when the text is not there.
replace() {
  python3 - "$@" <<'EOF'
import sys
path, old, new = sys.argv[1], sys.argv[2].replace('\\n', '\n'), sys.argv[3].replace('\\n', '\n')
text = open(path).read()
if old not in text:
    sys.exit(1)
open(path, 'w').write(text.replace(old, new, 1))
EOF
}

# run_suite <system> <suite>: 0 when the suite passes.
run_suite() {
  if [ "$1" = win ]; then
    KELV_WIN_SUITES="^$2\$" bash scripts/build-windows.sh >"$log" 2>&1
  else
    ninja -C build "$2" >"$log" 2>&1 && QTWEBENGINE_DISABLE_SANDBOX=1 \
      ctest --test-dir build -R "^$2\$" --output-on-failure >>"$log" 2>&1
  fi
}

log=$(mktemp)
saved=$(mktemp)
current=""
restore() {
  if [ -n "$current" ]; then cp "$saved" "$current"; fi
  current=""
}
trap 'restore; rm -f "$log" "$saved"' EXIT

selected=("$@")
caught=0
missed=0
stale=0
for i in "${!breaks[@]}"; do
  number=$((i + 1))
  if ((${#selected[@]})) && [[ " ${selected[*]} " != *" $number "* ]]; then continue; fi
  IFS='|' read -r system file suite what old new <<<"${breaks[$i]}"
  old=${old//\&/&}
  new=${new//\&/&}
  cp "$file" "$saved"
  current=$file
  if ! replace "$file" "$old" "$new"; then
    restore
    echo "$number. STALE    $what ($file no longer has the text)"
    stale=$((stale + 1))
    continue
  fi
  if run_suite "$system" "$suite"; then
    echo "$number. MISSED   $what: $suite still passes"
    missed=$((missed + 1))
  elif ! grep -q "Test #" "$log"; then
    echo "$number. NO BUILD $what: the break does not compile"
    tail -5 "$log"
    missed=$((missed + 1))
  else
    echo "$number. caught   $what: $suite ($system) fails"
    grep -E "ERROR:|FAIL!" "$log" | head -2 | sed 's/^/      /'
    caught=$((caught + 1))
  fi
  restore
done

# Without the breaks every suite passes again (and the builds hold the real code).
for system_suite in "win|test_crash_dump|test_platform_seam|test_libdc_load|test_dchost" \
  "linux|test_devices_handler" "linux|test_platform_seam" "linux|test_common" \
  "linux|test_bridge_profiles" "linux|test_process_moniter" "linux|tst_installers" \
  "linux|tst_startup_check" "linux|test_install"; do
  IFS='|' read -r system suites <<<"$system_suite"
  if [ "$system" = win ]; then
    KELV_WIN_SUITES="^(${suites})\$" bash scripts/build-windows.sh >"$log" 2>&1 &&
      echo "unbroken: $suites ($system) pass" || { echo "unbroken: $suites ($system) FAIL"; missed=$((missed + 1)); }
  else
    run_suite "$system" "$suites" && echo "unbroken: $suites ($system) passes" ||
      { echo "unbroken: $suites ($system) FAILS"; missed=$((missed + 1)); }
  fi
done
echo "$caught caught, $missed missed, $stale stale"
[ "$missed" = 0 ] && [ "$stale" = 0 ]
