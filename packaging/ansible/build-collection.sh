#!/usr/bin/env bash
# Makes the Ansible collection velnor.client from the module and playbooks of integrations/ansible:
# the collection's tree in a staging folder, its tarball (ansible-galaxy collection build) and the
# tree as ansible-galaxy installs it, ready to be installed under
# share/ansible/collections/ansible_collections/velnor/client.
# Usage: build-collection.sh SOURCE-FOLDER VERSION OUTPUT-FOLDER
# Leaves OUTPUT-FOLDER/velnor-client-VERSION.tar.gz and OUTPUT-FOLDER/installed/ansible_collections/velnor/client.
set -euo pipefail
src=${1:?usage: build-collection.sh SOURCE-FOLDER VERSION OUTPUT-FOLDER}
version=${2:?}
out=${3:?}
# A collection's version has three parts.
[[ $version =~ ^[0-9]+\.[0-9]+$ ]] && version+=.0

ansible=$src/integrations/ansible
here=$src/packaging/ansible
stage=$out/stage
rm -rf "$stage" "$out/installed" "$out"/velnor-client-*.tar.gz
mkdir -p "$stage/plugins/modules" "$stage/meta" "$stage/playbooks"

sed "s/@VERSION@/$version/" "$here/galaxy.yml.in" > "$stage/galaxy.yml"
cp "$here/README.md" "$stage/README.md"
cp "$here/meta/runtime.yml" "$stage/meta/runtime.yml"
cp "$src/LICENSE" "$stage/LICENSE"
# Every module without its "#!" line: installed, a module is no program of its own (Ansible runs it
# with the interpreter it chooses, /usr/bin/python by default, as the line said).
modules=()
for module in "$ansible"/library/*.py; do
    modules+=("$(basename "$module" .py)")
    sed '1{/^#!/d}' "$module" > "$stage/plugins/modules/$(basename "$module")"
done
# The playbooks, copied out of the collection, name the modules by their full names: there is no
# library/ folder beside them any more.
names=$(IFS='|'; echo "${modules[*]}")
for playbook in "$ansible"/*.yml; do
    sed -E "s/^([[:space:]]*(- )?)($names):[[:space:]]*\$/\1velnor.client.\3:/" "$playbook" \
        > "$stage/playbooks/$(basename "$playbook")"
done
cp -r "$ansible/inventory" "$stage/playbooks/inventory"
# Files of the collection are read by everyone; none is a program.
find "$stage" -type d -exec chmod 755 {} + && find "$stage" -type f -exec chmod 644 {} +

export ANSIBLE_LOCAL_TEMP=$out/tmp ANSIBLE_NOCOLOR=1
log=$out/ansible-galaxy.log
# ansible-galaxy warns that the folder it installs into is not one Ansible reads: it is a staging folder.
galaxy() { ansible-galaxy "$@" >>"$log" 2>&1 || { cat "$log" >&2; exit 1; }; }
: > "$log"
galaxy collection build --force --output-path "$out" "$stage"
tarball=$out/velnor-client-$version.tar.gz
[ -f "$tarball" ] || { echo "ansible-galaxy made no $tarball" >&2; exit 1; }
galaxy collection install --force --offline --no-deps -p "$out/installed" "$tarball"
find "$out/installed" -type d -exec chmod 755 {} + && find "$out/installed" -type f -exec chmod 644 {} +
rm -rf "$out/tmp"
