"""The commands of `tavlox-zero`, one module each: its HELP, add_arguments(parser) and
run(args) -> int. `cli` builds the parser from them and dispatches; the library code they
call sits in the layers below."""
