#!/usr/bin/env bash
# The VM's cache folder: QI_VM_CACHE, or the user's cache folder.
echo "${QI_VM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvel-icons/vm}"
