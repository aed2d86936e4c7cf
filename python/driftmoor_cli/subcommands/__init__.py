"""The subcommands, one module each, each a function `run` of its typed
arguments that returns the exit status:

    manifest  0 done, 1 the tree (or file), or an entry of it, could not be read
    check     0 the tree matches, 1 it differs or a file of it cannot be read,
              2 the manifest or the tree cannot be read
    diff      0 the manifests match, 1 they differ, 2 one cannot be read

(report.write_report decides between 0 and 1; command.py the statuses of
what ends any run early: write errors, memory, Ctrl-C.)
"""
