# shellcheck shell=bash
# Sourced by the scripts that build a library for Windows from Debian's own source
# packages (build-qt.sh, build-sodium.sh):
#
#   debian_source_fetch APT_DIR DOWNLOAD_DIR PACKAGE=VERSION...
#
# Downloads the source packages (.dsc and what it names) into DOWNLOAD_DIR through apt, with
# deb-src entries for the Debian mirror this machine already uses (the same URIs and suites
# as its deb entries), kept with apt's lists and cache in the private APT_DIR: the system's
# apt configuration and lists stay as they are. Needs dpkg-dev for `apt-get source`.
#
#   debian_package_version PACKAGE
#
# Prints the version of an installed Debian package, else apt's candidate, else nothing.

debian_package_version() {
    local version
    version=$(dpkg-query -W -f='${Version}' "$1" 2>/dev/null || true)
    [ -n "$version" ] || version=$(apt-cache policy "$1" 2>/dev/null | sed -n 's/^ *Candidate: //p')
    [ "$version" = "(none)" ] && version=""
    printf '%s\n' "$version"
}

debian_source_fetch() {
    local apt_dir=$1 download_dir=$2
    shift 2
    mkdir -p "$apt_dir/parts" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$download_dir"
    # The deb entries of the mirror this machine uses, as deb-src entries.
    local file sources_found=0
    rm -f "$apt_dir/parts/"*
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        sed 's/^Types:.*\bdeb\b.*$/Types: deb-src/' "$file" >"$apt_dir/parts/$(basename "$file")"
        sources_found=1
    done
    : >"$apt_dir/sources.list"
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] || continue
        sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$file" >>"$apt_dir/sources.list"
        [ -s "$apt_dir/sources.list" ] && sources_found=1
    done
    if [ "$sources_found" -ne 1 ]; then
        echo "no Debian mirror found in /etc/apt" >&2
        return 1
    fi
    local apt_options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/parts"
                       -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache")
    # apt's download user cannot enter a root-owned work directory.
    [ "$(id -u)" -ne 0 ] || apt_options+=(-o "APT::Sandbox::User=root")
    apt-get "${apt_options[@]}" update -q >/dev/null || return 1
    (cd "$download_dir" && apt-get "${apt_options[@]}" source --download-only -q "$@" >/dev/null)
}
