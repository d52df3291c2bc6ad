# fish completion for 3do: its commands, each command's options, and files.
set -l commands info check convert help
complete -c 3do -n "not __fish_seen_subcommand_from $commands" -f -a info -d 'every chunk and what a conversion would write'
complete -c 3do -n "not __fish_seen_subcommand_from $commands" -f -a check -d 'one line for each file with a problem'
complete -c 3do -n "not __fish_seen_subcommand_from $commands" -f -a convert -d 'convert many files safely, in parallel'
complete -c 3do -n "not __fish_seen_subcommand_from $commands" -f -a help -d 'help for a command'
complete -c 3do -n "not __fish_seen_subcommand_from $commands" -l help -d 'show the help'
complete -c 3do -n "not __fish_seen_subcommand_from $commands" -l version -d 'show the version'
complete -c 3do -n "__fish_seen_subcommand_from help" -f -a "info check convert"

complete -c 3do -n "__fish_seen_subcommand_from info check convert" -s r -l recursive -d "the .3do files in folders' trees"
complete -c 3do -n "__fish_seen_subcommand_from info check convert" -s a -l archives -d "with -r, also the zip archives in the trees"
complete -c 3do -n "__fish_seen_subcommand_from info" -l entries -d "list an archive's other entries too"
complete -c 3do -n "__fish_seen_subcommand_from info check convert" -l files0-from -r -F -d 'also read NUL-separated names'
complete -c 3do -n "__fish_seen_subcommand_from info" -l json -d 'one JSON object per file'
complete -c 3do -n "__fish_seen_subcommand_from check" -l json -d 'an info object for each file with a problem'
complete -c 3do -n "__fish_seen_subcommand_from check" -l all -d 'with --json, for every file'
complete -c 3do -n "__fish_seen_subcommand_from info" -l summary -d 'leave out the chunk table'

complete -c 3do -n "__fish_seen_subcommand_from convert" -s o -l output -r -F -d 'a single input into FILE'
complete -c 3do -n "__fish_seen_subcommand_from convert" -s d -l output-dir -r -a "(__fish_complete_directories)" -d 'each output into DIR'
complete -c 3do -n "__fish_seen_subcommand_from convert" -s i -l in-place -d 'replace each file by its conversion'
complete -c 3do -n "__fish_seen_subcommand_from convert" -s f -l force -d 'replace existing outputs'
complete -c 3do -n "__fish_seen_subcommand_from convert" -s n -l dry-run -d 'say what the run would do; write nothing'
complete -c 3do -n "__fish_seen_subcommand_from convert" -s v -l verbose -d 'a line per file'
complete -c 3do -n "__fish_seen_subcommand_from convert" -s q -l quiet -d 'nothing but errors'
complete -c 3do -n "__fish_seen_subcommand_from convert" -s j -l jobs -x -d 'number of workers'
complete -c 3do -n "__fish_seen_subcommand_from convert" -l json -d 'a JSON object per file and a summary'
complete -c 3do -n "__fish_seen_subcommand_from convert" -l salvage -d 'write the complete chunks of damaged files'
complete -c 3do -n "__fish_seen_subcommand_from convert" -l no-sync -d 'in place, do not fsync'
