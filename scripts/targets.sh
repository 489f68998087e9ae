# Sourced. camera_target NAME: the columns of a camera target of
# cmake/targets.txt in T_* variables; false, with one line, for no such
# target.
camera_target() {
    local line
    line=$(grep -E "^$1 " "$(dirname "${BASH_SOURCE[0]}")/../cmake/targets.txt") || {
        echo "No camera target '$1': choose one of $(grep -vE '^(#|$)' "$(dirname "${BASH_SOURCE[0]}")/../cmake/targets.txt" | cut -d' ' -f1 | tr '\n' ' ')(TARGET=...)." >&2
        return 1
    }
    read -r T_NAME T_ARCH T_TRIPLET T_USER_EMU T_LOADER T_SYSTEM_EMU T_MACHINE T_CPU T_CONSOLE T_VIRTIO T_KERNEL T_MODULES _ <<<"$line"
}
