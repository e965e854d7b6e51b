#!/usr/bin/env bash
# Starts the built rkserver in a temporary home, drives it with rkclient,
# stops it with SIGTERM and checks what it left behind.
# Usage: server_e2e.sh RKSERVER RKCLIENT
set -euo pipefail
server=$1
client=$2
work=$(mktemp -d)
home=$work/home
mkdir "$home"
pid=
companion=
cleanup() {
    [[ -n "$pid" ]] && kill -KILL "$pid" 2>/dev/null || true
    [[ -n "$companion" ]] && kill -KILL "$companion" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Starts a server on $home with the given options and sets $pid and $port.
start_server() {
    # There before the server's redirection opens it, so that the first look
    # for the port never finds no file.
    : >"$work/out"
    "$server" --home "$home" --port 0 --log-level warn "$@" >"$work/out" 2>"$work/err" &
    pid=$!
    for _ in $(seq 100); do
        port=$(sed -n 's/^rkserver listening on .*:\([0-9]*\)$/\1/p' "$work/out")
        [[ -n "$port" ]] && return
        kill -0 "$pid" 2>/dev/null || fail "server died: $(cat "$work/err")"
        sleep 0.1
    done
    fail "server did not report its port"
}

stop_server() {
    kill -TERM "$pid"
    local status=0
    wait "$pid" || status=$?
    pid=
    [[ $status -eq 0 ]] || fail "server exited with $status: $(cat "$work/err")"
}

rk() { RKCLIENT_PASSWORD=secret "$client" --port "$port" --user alice --timeout 5 "$@"; }

# ctl on a stopped server changes the files directly.
printf 'bobpw\n' >"$work/bobpw"
"$server" --home "$home" ctl user add bob --password-file "$work/bobpw" || fail "ctl user add (stopped)"
"$server" --home "$home" ctl user add BOB --password-file "$work/bobpw" 2>/dev/null && fail "ctl added a duplicate"
"$server" --home "$home" ctl set bandwidth 5000 || fail "ctl set bandwidth (stopped)"
[[ $("$server" --home "$home" ctl users) == bob ]] || fail "ctl users: $("$server" --home "$home" ctl users)"

start_server --headless

rkb() { RKCLIENT_PASSWORD=bobpw "$client" --port "$port" --user bob --timeout 5 "$@"; }
rkb logon || fail "logon of the account added by ctl"
# ctl on a running server goes through its control socket.
[[ $(stat -c %a "$home/rkserver.sock") == 600 ]] || fail "control socket is not owner-only"
"$server" --home "$home" ctl status | grep -q "listening on port $port" || fail "ctl status"
"$server" --home "$home" ctl user forbid bob || fail "ctl user forbid"
out=$(rkb logon 2>&1) && fail "forbidden account logged on"
[[ $out == *"forbidden"* ]] || fail "unexpected message: $out"
"$server" --home "$home" ctl user allow bob || fail "ctl user allow"
rkb mkdir /x || fail "mkdir as bob"
"$server" --home "$home" ctl user del bob >/dev/null || fail "ctl user del"
[[ ! -e "$home/bob" ]] || fail "ctl user del left the storage folder"
rkb logon 2>/dev/null && fail "deleted account logged on"

rk create-account || fail "create-account"
out=$(rk create-account 2>&1) && fail "a second create-account succeeded"
[[ $out == *"account exists"* ]] || fail "unexpected message: $out"
rk logon || fail "logon"
out=$(RKCLIENT_PASSWORD=wrong "$client" --port "$port" --user alice logon 2>&1) && fail "wrong password accepted"
[[ $out == *"wrong user name or password"* ]] || fail "unexpected message: $out"
rk mkdir /game/1 || fail "mkdir"
[[ -d "$home/alice/game/1" ]] || fail "folder not created"
echo save >"$home/alice/game/1/SAVE.DAT"
rk rm /game/1/SAVE.DAT || fail "rm"
[[ ! -e "$home/alice/game/1/SAVE.DAT" ]] || fail "file not deleted"
rk rm /game/1/SAVE.DAT 2>/dev/null && fail "deleting a missing file succeeded"
rk rmdir /game/1 || fail "rmdir"
[[ ! -e "$home/alice/game/1" ]] || fail "folder not removed"

# Files travel byte for byte both ways.
head -c 3000000 /dev/urandom >"$work/big.bin"
printf 'small' >"$work/small.txt"
rk mkdir /game/1 || fail "mkdir for put"
rk put "$work/big.bin" /game/1/BIG.BIN || fail "put"
cmp -s "$work/big.bin" "$home/alice/game/1/BIG.BIN" || fail "uploaded file differs"
rk put "$work/small.txt" /game/1/small.txt || fail "put small"
rk get /game/1/big.bin "$work/back.bin" || fail "get"
cmp -s "$work/big.bin" "$work/back.bin" || fail "downloaded file differs"
mkdir "$work/batch"
rk get-batch /game/1/small.txt /game/1/nothing.txt "$work/batch" 2>/dev/null && fail "get-batch with a missing name succeeded"
[[ $(cat "$work/batch/small.txt") == small ]] || fail "get-batch did not fetch small.txt"
listing=$(rk ls -R /) || fail "ls"
[[ $listing == *"BIG.BIN"* && $listing == *"small.txt"* ]] || fail "ls shows: $listing"
rk reset-slot /game/1 || fail "reset-slot"
[[ -e "$home/alice/game/1/DOCDATE.SYN" ]] || fail "reset-slot created no record"
slots=$(rk slots /game) || fail "slots"
grep -q '^slot 1  [0-9]' <<<"$slots" && grep -q '^slot 2  none' <<<"$slots" || fail "slots shows: $slots"
rk rmtree /game || fail "rmtree"
[[ -d "$home/alice/game" && -z $(ls -A "$home/alice/game") ]] || fail "rmtree left: $(ls -R "$home/alice/game")"

# A second server on the same home is refused and leaves the first alone.
status=0
"$server" --home "$home" --port 0 >/dev/null 2>"$work/second" || status=$?
[[ $status -eq 3 ]] || fail "second instance exited with $status"
grep -q "already running" "$work/second" || fail "second instance said: $(cat "$work/second")"
rk logon || fail "first server gone after the second start"

stop_server
[[ -s "$home/rkServer.cfg" ]] || fail "account file missing after the stop"
[[ $(stat -c %a "$home/rkServer.cfg") == 600 ]] || fail "account file is not owner-only"

# The account survives a restart.
start_server --headless
rk logon || fail "logon after restart"
# Only a server with windows takes a companion program to end at its exit.
sleep 60 &
companion=$!
"$server" --home "$home" ctl companion "$companion" 2>/dev/null && fail "headless took a companion"
stop_server

# With windows (here on Qt's offscreen platform, which has no tray, so the
# operator window stands in for it) the server serves the same way.
QT_QPA_PLATFORM=offscreen start_server
rk logon || fail "logon with windows"
"$server" --home "$home" ctl companion "$companion" || fail "ctl companion refused"
"$server" --home "$home" ctl companion 999999999 2>/dev/null && fail "ctl companion took no process"
stop_server
kill "$companion"
echo "e2e: 1 passed, 0 failed"
