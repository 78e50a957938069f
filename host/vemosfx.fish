# fish completion for vemosfx
set -l commands list l v test t extract x e p pack add a delete d
complete -c vemosfx -n "not __fish_seen_subcommand_from $commands" -f -a 'list test extract pack add delete'
complete -c vemosfx -n "not __fish_seen_subcommand_from $commands" -l help -l version
function __vemosfx_for -a cmds
  complete -c vemosfx -n "__fish_seen_subcommand_from $cmds" $argv[2..-1]
end
set -l reading 'list l v test t extract x e p delete d'
set -l packing 'pack add a'
__vemosfx_for "$commands" -s q -l quiet -d 'errors only'
__vemosfx_for "$commands" -s h -l help -d 'this help'
__vemosfx_for "$reading" -l names -x -a 'cp932 utf-8 euc-jp latin1 auto' -d 'how member names are read'
__vemosfx_for 'list l v' -l json -d 'one JSON document'
__vemosfx_for 'test t extract x e p delete d pack add a' -s v -l verbose -d 'name each member'
__vemosfx_for 'extract x e p' -s C -l directory -x -a '(__fish_complete_directories)' -d 'extract into DIR'
__vemosfx_for 'extract x e p' -s k -l keep-old-files -d 'leave existing files alone'
__vemosfx_for 'extract x e p' -s f -l force -d 'replace existing files'
__vemosfx_for 'extract x e p' -s O -l to-stdout -d 'members to standard output'
__vemosfx_for 'extract x e p' -l no-links -d 'make no symbolic links'
__vemosfx_for 'extract x e p' -l skip-links -d 'make no symbolic links'
__vemosfx_for 'extract x e p' -l same-owner -d 'as root: the owners the archive records'
__vemosfx_for 'extract x e p pack add a' -l allow-unix-names -d 'any name Unix allows'
__vemosfx_for "$packing" -s C -l directory -r -a '(__fish_complete_directories)' -d 'take the paths relative to DIR'
__vemosfx_for "$packing" -s L -l dereference -d 'follow symbolic links'
__vemosfx_for "$packing" -s T -l files-from -r -d 'the paths of FILE'
__vemosfx_for "$packing" -l null -d '-T lists are NUL-separated'
__vemosfx_for "$packing" -l exclude -x -d 'leave out matching members'
__vemosfx_for "$packing" -l exclude-from -r -d 'the patterns of FILE'
__vemosfx_for "$packing" -l mtime -x -d "every member's time"
__vemosfx_for "$packing" -l owner -x -a '(__fish_complete_users)' -d "every member's owner"
__vemosfx_for "$packing" -l group -x -a '(__fish_complete_groups)' -d "every member's group"
__vemosfx_for "$packing" -l numeric-owner -d 'owner ids, not names'
__vemosfx_for "$packing" -l mode -x -d "change every member's mode as chmod does"
__vemosfx_for "$packing" -l method -x -a 'lh0 lh5 lh6 lh7' -d 'compression method'
__vemosfx_for "$packing" -l level -x -a '1 2 3 4 5 6 7 8 9' -d 'compression level'
__vemosfx_for "$packing" -l best -d 'level 9'
__vemosfx_for "$packing" -s j -l threads -x -d 'compress on N threads'
__vemosfx_for "$packing" -l names -x -a 'cp932 utf-8' -d 'how names are stored'
__vemosfx_for 'add a' -l update -d 'replace only what is newer'
__vemosfx_for pack -s o -r -d 'the file to write'
__vemosfx_for pack -l format -x -a 'lzh package' -d 'what to write'
__vemosfx_for pack -l stub -r -d 'the stub in front'
__vemosfx_for pack -l no-dialog -d 'no dialog'
__vemosfx_for pack -l title -x -d 'window and dialog title'
__vemosfx_for pack -l base -x -a 'current program-files' -d 'the folder --dest is taken in'
__vemosfx_for pack -l dest -x -d 'destination below the base'
__vemosfx_for pack -l shortcut -x -d 'the member the shortcuts open'
__vemosfx_for pack -l open -x -d 'the member opened afterwards'
__vemosfx_for pack -l start-menu -x -a 'no ask-no ask-yes yes' -d 'Start menu shortcut'
__vemosfx_for pack -l desktop -x -a 'no ask-no ask-yes yes' -d 'desktop shortcut'
__vemosfx_for pack -l send-to -x -a 'no ask-no ask-yes yes' -d 'SendTo shortcut'
