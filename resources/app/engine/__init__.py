"""The pick engine: ranks what to play next from a DJ's library and play history, served as a feed.

Modules, from the model up:
  library, history   tracks (path, title, artist, key, BPM, category); past sets and tonight's set
  keys, tempo        Camelot / Open Key / musical keys and harmonic neighbours; tempo fit at ±6 %
  ranking            the pure function from the model to the picks
  feed               the picks as the JSON document the panel polls
  server             GET /json on 127.0.0.1 and the port file
  sources            where the model comes from: DJ software found on the machine or chosen in
                     settings.json, else the demo crate (sources/__init__.py says how to add a program)
  paths, main        the support directory and settings; the run loop, following settings.json, and
                     `--list-sources`
"""
