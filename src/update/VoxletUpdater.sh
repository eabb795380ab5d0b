#!/bin/bash
# Installs a downloaded Voxlet release after the running program has quit, then starts the new one.
# Arguments: the release archive (a tar archive holding a Voxlet/ install tree), the install tree to
# replace, and the process id of the program to wait for. Everything it prints goes to
# VoxletUpdater.log beside the script, which lives in a folder private to the user.
set -euo pipefail

ARCHIVE_PATH="$1"
TARGET_TREE="$2"
RUNNING_PID="$3"
LOG_PATH="$(dirname "$0")/VoxletUpdater.log"
EXTRACT_PATH=""

exec >"$LOG_PATH" 2>&1

cleanup() {
    if [[ -n "$EXTRACT_PATH" ]]; then
        chmod -R u+rwx "$EXTRACT_PATH" >/dev/null 2>&1 || true
        rm -rf "$EXTRACT_PATH" >/dev/null 2>&1 || true
    fi
    rm -f "$0"
}
trap cleanup EXIT

show_alert() {
    local title="Não foi possível instalar a atualização automaticamente."
    local message="O instalador foi aberto. Feche o Voxlet, se necessário, e arraste o aplicativo para Applications."
    if command -v zenity >/dev/null 2>&1; then
        zenity --error --title="$title" --text="$message"
    elif command -v notify-send >/dev/null 2>&1; then
        notify-send --urgency=critical --app-name=Voxlet "$title" "$message"
    else
        echo "No desktop alert tool (zenity, notify-send) found: $title $message"
        return 1
    fi
}

# Leaves the archive in place and shows the user where it is.
fallback() {
    echo "Automatic installation failed; opening the folder of $ARCHIVE_PATH"
    xdg-open "$(dirname "$ARCHIVE_PATH")" || true
    show_alert || true
}

# Copies the new tree beside the target, then swaps it in, so that a failure at any point leaves the
# previous tree in place. Runs either directly or, when the target is not writable, through pkexec
# (serialised with declare -f), so it relies on nothing outside itself.
install_tree() {
    local source="$1" target="$2"
    local parent staged backup
    parent="$(dirname "$target")"
    mkdir -p "$parent" || return 1
    staged="$(mktemp -d "$parent/.Voxlet-install.XXXXXX")" || return 1
    if ! cp -a --no-preserve=ownership "$source/." "$staged/"; then
        echo "Copy into $staged failed; $target is unchanged"
        rm -rf "$staged"
        return 1
    fi
    if ! chmod 0755 "$staged"; then
        rm -rf "$staged"
        return 1
    fi
    if [[ -e "$target" || -L "$target" ]]; then
        backup="$(mktemp -d "$parent/.Voxlet-previous.XXXXXX")" || {
            rm -rf "$staged"
            return 1
        }
        if ! mv -T "$target" "$backup/tree"; then
            echo "Could not move $target aside; it is unchanged"
            rm -rf "$staged" "$backup"
            return 1
        fi
        if ! mv -T "$staged" "$target"; then
            echo "Could not move the new tree into $target; restoring the previous one"
            mv -T "$backup/tree" "$target" || echo "Restoring failed: the previous tree is in $backup/tree"
            rm -rf "$staged"
            rmdir "$backup" >/dev/null 2>&1 || true
            return 1
        fi
        rm -rf "$backup" || echo "Could not remove the previous tree in $backup"
    else
        if ! mv -T "$staged" "$target"; then
            rm -rf "$staged"
            return 1
        fi
    fi
    return 0
}

echo "Waiting for process $RUNNING_PID to end"
while kill -0 "$RUNNING_PID" >/dev/null 2>&1; do
    sleep 0.2
done

EXTRACT_PATH="$(mktemp -d "${TMPDIR:-/tmp}/VoxletUpdateExtract.XXXXXX")"
echo "Extracting $ARCHIVE_PATH into $EXTRACT_PATH"
tar -xf "$ARCHIVE_PATH" -C "$EXTRACT_PATH" --no-same-owner || {
    fallback
    exit 1
}

SOURCE_TREE="$EXTRACT_PATH/Voxlet"
TARGET_PARENT="$(dirname "$TARGET_TREE")"
if [[ ! -d "$SOURCE_TREE" || -L "$SOURCE_TREE" ]]; then
    echo "The archive holds no Voxlet/ folder"
    fallback
    exit 1
fi

if [[ -w "$TARGET_PARENT" && (! -e "$TARGET_TREE" || -w "$TARGET_TREE") ]]; then
    echo "Installing into $TARGET_TREE"
    install_tree "$SOURCE_TREE" "$TARGET_TREE" || {
        fallback
        exit 1
    }
else
    echo "Installing into $TARGET_TREE with administrator rights"
    pkexec /bin/bash -c "$(declare -f install_tree)"'
install_tree "$1" "$2"' voxlet-install "$SOURCE_TREE" "$TARGET_TREE" || {
        echo "The administrator copy was refused or failed"
        fallback
        exit 1
    }
fi

NEW_PROGRAM="$TARGET_TREE/bin/voxlet"
if [[ ! -x "$NEW_PROGRAM" ]]; then
    echo "Installed, but $NEW_PROGRAM is not an executable program"
    exit 1
fi
echo "Starting $NEW_PROGRAM"
setsid -f "$NEW_PROGRAM" </dev/null >/dev/null 2>&1
rm -f "$ARCHIVE_PATH"
echo "Update installed"
