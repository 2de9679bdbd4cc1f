"""`vesk serve`: vesk sessions for Model Context Protocol clients.

The package imports nothing when it is imported: a worker process (`python -m
vesk.server.worker`) loads only what it needs. The modules:

    main.py            settings, the main loop, the workers' environment
    log.py             the server's standard error, and its workers' made safe
                       (text, or one JSON object a line)
    metrics.py         counts of tool calls, parks, resumes, store writes and the
                       memory budgets, for /metrics
    ui.py, view.py     the web view (--ui): its files and JSON API, and what a
                       worker answers for it
    config.py          the keys of the module's configuration the server acts on
    stdio.py, http.py  the two transports
    protocol.py        the MCP messages of one session, or of requests without one
    jsonrpc.py         JSON-RPC parsing and responses
    tools.py, schema.py, resources.py   what is offered, and the checks
    content.py         a tool result's text for a model, and the bounds on answers
    search.py, diffs.py   search_files, and a diff cut down to some paths
    sessions.py        sessions and workspaces, their limits, the idle time-out,
                       the scratch dir
    tokens.py          the token file: bearer tokens and their principals
    tasks.py           tasks: runs that answer at once and are polled
    workers.py         the server's handle of a worker process
    worker.py          the worker process, one per session, holding a VeskSession
    memory.py          the worker's own memory: given back after calls, bounded
    spares.py          the spare runner keeper, lending one runner to the workers
    standby.py         the standby worker: one started ahead for the next new session
    store.py           the store: workspaces kept in an SQLite database or PostgreSQL
    store_db.py        the store's connection: SQLite or PostgreSQL (psycopg)
    store_images.py    interpreter images in the store: shared pieces, each kept once
    durable.py         a worker's side of the store: its session loaded, saved, parked
    cluster.py         several nodes on one store: requests handed on to the lease holder
    killpoint.py       tests only: a process crashes itself at a named step

The command line is `vesk.cli`.
"""
