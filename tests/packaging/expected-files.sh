#!/usr/bin/env bash
# Every file that an install puts under its prefix, sorted: tests/packaging/expected-install.txt, and
# the Ansible collection made from what integrations/ansible holds (its modules, playbooks and example
# inventory, whatever they are), so that a new playbook there needs no second list.
# Usage: expected-files.sh SOURCE-FOLDER
set -euo pipefail
src=${1:?usage: expected-files.sh SOURCE-FOLDER}
collection=share/ansible/collections/ansible_collections/velnor/client
{
    cat "$src/tests/packaging/expected-install.txt"
    printf "$collection/%s\n" FILES.json LICENSE MANIFEST.json README.md meta/runtime.yml
    (cd "$src/integrations/ansible" && find library -maxdepth 1 -name '*.py' -type f) |
        sed "s|^library/|$collection/plugins/modules/|"
    (cd "$src/integrations/ansible" && find . -maxdepth 1 -name '*.yml' -type f && find inventory -type f) |
        sed "s|^\./||; s|^|$collection/playbooks/|"
} | LC_ALL=C sort
