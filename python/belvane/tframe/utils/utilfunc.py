def compile_strategy(source_code, path, scope):
    """Compiles a strategy's source, with its path as the file name in
    tracebacks, and runs it in `scope`, which is returned."""
    code = compile(source_code, path, 'exec')
    exec(code, scope)
    return scope
