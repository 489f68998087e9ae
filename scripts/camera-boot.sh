# Sourced: boots the emulated camera of a target and talks to it over its
# serial console. The emulator runs in a session of its own (Ctrl-C on the
# terminal is the script's to handle) and dies with the script that
# started it, however that ends.
. "$(dirname "${BASH_SOURCE[0]}")/targets.sh"

# camera_prepare TARGET: the camera kit (fetched once) and the image;
# sets CAM_DIR, CAM_KIT, CAM_IMAGE. One line and false when something is
# missing.
camera_prepare() {
    camera_target "$1" || return 1
    local top
    top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    CAM_KIT=$top/build/$T_NAME/camera-kit
    CAM_DIR=$top/build/$T_NAME/emulated-camera
    CAM_IMAGE=$CAM_DIR/root.cpio.gz
    command -v "$T_SYSTEM_EMU" >/dev/null || {
        echo "The emulator $T_SYSTEM_EMU is missing: run 'bash scripts/install-deps.sh test' (as root), then run again." >&2
        return 1
    }
    mkdir -p "$CAM_DIR"
    # One camera per target at a time: a second would overwrite its image,
    # disks and logs.
    exec {CAM_LOCK}>"$CAM_DIR/lock"
    flock -n "$CAM_LOCK" || {
        echo "Another emulated $T_NAME camera runs from $CAM_DIR: let it end (or stop it), then run again." >&2
        return 1
    }
    bash "$top/scripts/camera-kit.sh" "$T_NAME" "$CAM_KIT" >"$CAM_DIR/kit.log" 2>&1 || {
        grep -v '^camera kit: \(fetching\|downloading\)' "$CAM_DIR/kit.log" >&2
        return 1
    }
    bash "$top/scripts/camera-image.sh" "$T_NAME" "$CAM_IMAGE"
}

# camera_disk PATH: a fresh, empty ext4 disk for the package directory.
camera_disk() {
    rm -f "$1"
    truncate -s 64M "$1" && mkfs.ext4 -q -F "$1"
}

# port_free PORT: false, with one line, when something listens there.
port_free() {
    if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then
        echo "Port $1 is in use: stop what listens there, or choose another port, e.g. SIMCAM_HTTP_PORT=$(($1 + 1))." >&2
        return 1
    fi
}

# camera_boot MODE DISK PORT [RTC-BASE [APPEND...]]: starts the emulator;
# its console is CAM_CON_OUT/CAM_CON_IN, every line also in CAM_LOG.
camera_boot() {
    local mode=$1 disk=$2 port=$3 rtc=${4:-utc} bus=$T_VIRTIO cpu=() nic_rom=
    shift 3; shift $(($# > 0 ? 1 : 0))
    [ "$T_CPU" = - ] || cpu=(-cpu "$T_CPU")
    # No boot ROM for a PCI network card: the kernel is loaded directly.
    [ "$bus" = device ] || bus=pci nic_rom=,romfile=
    CAM_LOG=$CAM_DIR/console-$mode.log
    : >"$CAM_LOG"
    coproc CAM_QEMU {
        exec {CAM_LOCK}>&- setsid setpriv --pdeathsig KILL "$T_SYSTEM_EMU" -M "$T_MACHINE" "${cpu[@]}" -m 256 ${CAM_EMU_ARGS:-} \
            -nodefaults -display none -serial stdio -monitor none -no-reboot \
            -kernel "$CAM_KIT/kernel" -initrd "$CAM_IMAGE" \
            -append "console=$T_CONSOLE rdinit=/init quiet loglevel=1 panic=-1 lh.mode=$mode $*" \
            -rtc base="$rtc" \
            -drive "file=$disk,format=raw,if=none,id=disk0" -device "virtio-blk-$bus,drive=disk0" \
            -netdev "user,id=net0,restrict=on,hostfwd=tcp:127.0.0.1:$port-:8080" \
            -device "virtio-net-$bus,netdev=net0$nic_rom" 2>&1
    }
    CAM_PID=$CAM_QEMU_PID CAM_PENDING=
    # Copies of the pipe ends: bash closes a coprocess's own once it ends,
    # before what it printed last is read.
    exec {CAM_CON_OUT}<&"${CAM_QEMU[0]}" {CAM_CON_IN}>&"${CAM_QEMU[1]}"
}

# camera_line TIMEOUT: the console's next line in LINE (without its CR);
# 1 when the emulator ended, 2 at the timeout.
camera_line() {
    local rc=0
    IFS= read -r -t "$1" LINE <&"$CAM_CON_OUT" || rc=$?
    # What came before a timeout is the start of the next line.
    [ $rc -gt 128 ] && { CAM_PENDING+=$LINE; return 2; }
    LINE=$CAM_PENDING$LINE CAM_PENDING=
    [ $rc -eq 0 ] || { [ -n "$LINE" ] && printf '%s\n' "$LINE" >>"$CAM_LOG"; return 1; }
    LINE=${LINE%$'\r'}
    # A kernel message racing a line on the serial port can cost it a byte
    # or two before its marker.
    if [[ "$LINE" =~ @+(booted|done|end)([^a-z].*)?$ ]]; then
        LINE=@@${BASH_REMATCH[1]}
    elif [[ "$LINE" =~ @+((state|after|ok|fail|host|cut|cutat|cutfailed|call|calls|list|listed|runner|start|bench)( .*|$)) ]]; then
        LINE=@@${BASH_REMATCH[1]}
    fi
    printf '%s\n' "$LINE" >>"$CAM_LOG"
}

# camera_send TEXT: one line to the camera's console.
camera_send() { printf '%s\n' "$1" >&"$CAM_CON_IN"; }

# camera_end [SECONDS]: waits for the emulator to end, killing it at the
# timeout; the status of the emulator in CAM_STATUS.
camera_end() {
    local pid=${CAM_PID:-} n=0
    [ -n "$pid" ] || return 0
    while kill -0 "$pid" 2>/dev/null && [ $n -lt $((${1:-0} * 10)) ]; do
        # Whatever it still prints goes to the log, so it never blocks.
        camera_line 0.1 || true
        n=$((n + 1))
    done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    CAM_STATUS=$?
    # The last line, if it never ended, for the console's tail.
    [ -z "$CAM_PENDING" ] || printf '%s\n' "$CAM_PENDING" >>"$CAM_LOG"
    CAM_PENDING=
    CAM_PID=
    exec {CAM_CON_OUT}<&- {CAM_CON_IN}>&-
}

# camera_console_tail: the console's last lines, for a camera that hung.
camera_console_tail() { tail -n "${1:-15}" "$CAM_LOG" | sed 's/^/  | /' >&2; }
