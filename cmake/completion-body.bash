    # The body of every program's completion function (see program-docs.sh), after its tables:
    #   subs[PATH]          subcommands of the command PATH (the program's name, then "NAME a b"
    #                       for its subcommand "a b")
    #   opts[PATH]          its options
    #   args[PATH|OPTION]   what the option's value is: words, @files or @none
    #   pos[PATH]           what its positional arguments are: words, @files or @none
    local cur=${COMP_WORDS[COMP_CWORD]} path=$root expect="" word i
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ -n $expect ]]; then
            expect=""
        elif [[ $word == -* ]]; then
            [[ $word != *=* && -n ${args["$path|$word"]+set} ]] && expect=$word
        elif [[ " ${subs[$path]} " == *" $word "* ]]; then
            path+=" $word"
        fi
    done
    local words
    if [[ -n $expect ]]; then
        words=${args["$path|$expect"]}
    elif [[ $cur == -* ]]; then
        words=${opts[$path]}
    else
        words="${subs[$path]} ${pos[$path]}"
    fi
    local plain=${words//@files/}
    plain=${plain//@none/}
    mapfile -t COMPREPLY < <(compgen -W "$plain" -- "$cur")
    if [[ $words == *@files* ]]; then
        compopt -o filenames 2>/dev/null
        mapfile -t -O ${#COMPREPLY[@]} COMPREPLY < <(compgen -f -- "$cur")
    fi
    return 0
