"""The web view: ``quarrin serve PATH...`` shows the cameras, events and recordings under some
folders in a browser, from an aiohttp server with Jinja2 templates (the `web` extra).

Nothing here is imported by ``import quarrin``: `quarrin.cli` loads `quarrin.web.server` for the
`serve` command only.

- `data`: what the pages and the JSON API show, from a `quarrin.index.Index` kept open
- `media`: the served folders, and the files below them that may be sent
- `sending`: a file sent, with conditional and range requests
- `thumbs`: a picture of an event whose list names no snapshot, grabbed from its video
- `auth`: passwords, the login and its session cookie
- `app`: the aiohttp application (pages, API, media); `server`: running it
- `connections`: the server's connections, their time limits and caps, its one-line faults
- `live`: a running service's live images, from the camera provider it hands the view
- `urls`: the routes' paths, named once, and the URLs made of them
"""
