"""The multi-camera service of ``quarrin serve --config FILE``: the cameras file (`config`), one
recorder process per camera, watched and restarted (`supervisor`), what the web view may read of
them (`cameras`), and the loop that runs them beside the web view until SIGINT or SIGTERM,
reading the file again at SIGHUP (`run`).

Nothing here is imported by ``import quarrin``; the web view (quarrin.web) knows the service only
through the camera provider of `cameras`.
"""
