# Sourced by the setup scripts: installs the Debian packages given that are
# not installed yet. Usage: apt_install TAG PACKAGE...
apt_install() {
    local tag="$1" missing=()
    shift
    for p in "$@"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    if ((${#missing[@]})); then
        echo "[$tag] apt-get install ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}
