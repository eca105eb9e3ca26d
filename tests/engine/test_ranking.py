"""Ranking rules on small hand-made libraries: keys, tempo, proven sequences, freshness, rut, requests."""
import datetime
import json
import unittest

from engine import ranking
from engine.feed import document
from engine.history import History, PastSet
from engine.keys import Camelot, is_harmonic, parse_key
from engine.library import Library, Track
from engine.tempo import tempo_fits

TODAY = datetime.date(2025, 6, 1)


def path(name):
    return "/music/%s.wav" % name


def track(name, key="8A", bpm=124.0, cat=None):
    return Track(path=path(name), title=name, artist="Artist %s" % name, key=key, bpm=bpm, category=cat)


def past(days_ago, *names):
    return PastSet(date=TODAY - datetime.timedelta(days=days_ago), plays=tuple(path(n) for n in names))


def rank(tracks, sets=(), tonight=(), requests=(), missing=()):
    return ranking.rank(Library(tracks), History(past_sets=list(sets), tonight=[path(n) for n in tonight]),
                        [path(n) for n in requests], TODAY, lambda p: p not in [path(n) for n in missing])


def titles(picks):
    return [p.track.title for p in picks]


class RankingTest(unittest.TestCase):
    def test_keys_in_every_notation_harmonic_neighbours_and_tempo_fit(self):
        for text, expected in {"8A": (8, "A"), "12b": (12, "B"), "1m": (8, "A"), "1d": (8, "B"), "6m": (1, "A"),
                               "12d": (7, "B"), "Am": (8, "A"), "C": (8, "B"), "F#m": (11, "A"), "Bbm": (3, "A"),
                               "Db": (3, "B"), "E": (12, "B"), "Abm": (1, "A"), "B": (1, "B"), "G minor": (6, "A"),
                               "D major": (10, "B"), "C♯m": (12, "A"), "": None, "13A": None, "0B": None, "H": None,
                               "8C": None, "Xm": None, "8Am": None, None: None}.items():
            self.assertEqual(parse_key(text), expected and Camelot(*expected), text)
        for a, b, expected in [("8A", "8A", True), ("8A", "9A", True), ("8A", "7A", True), ("12A", "1A", True),
                               ("1B", "12B", True), ("8A", "8B", True), ("Am", "C", True), ("Am", "1d", True),
                               ("12A", "2A", False), ("12A", "1B", False), ("8A", "9B", False), ("8A", "", False)]:
            self.assertEqual({is_harmonic(parse_key(a), parse_key(b)), is_harmonic(parse_key(b), parse_key(a))},
                             {expected}, (a, b))
        for now, bpm, expected in [(100, 106, True), (100, 94, True), (100, 106.5, False), (100, 93.5, False),
                                   (128, 64, True), (70, 140, True), (100, 53, True), (100, 53.5, False),
                                   (100, 212, True), (100, 213, False), (124, 0, False), (0, 124, False)]:
            self.assertEqual(tempo_fits(now, bpm), expected, (now, bpm))

    def test_next_holds_proven_then_fitting_requests_then_fit_then_freshness(self):
        sets = [past(40, "a", "b", "c"), past(30, "a", "b"), past(20, "x", "a", "c"), past(10, "b", "a", "b")]
        picks = rank([track(n) for n in "abcdx"], sets + [past(5, "b", "d", "a")], tonight=["d", "a"]).next
        self.assertEqual({p.track.title: p.proven for p in picks}, {"b": 3, "c": 1, "x": 0})
        tracks = [track("now", "8A", 124), track("proven_off_key", "3B", 100), track("proven_twice", "3B", 100),
                  track("fit_rested", "9A", 125), track("fit_new", "9A", 125), track("tempo_only", "2B", 124),
                  track("key_only", "8B", 90), track("filler", "2B", 100), track("request", "7A", 122),
                  track("gone", "8A", 124), track("gone_proven", "8A", 124)]
        sets = [past(300, "now", "proven_twice"), past(200, "now", "proven_twice"), past(100, "now", "proven_off_key"),
                past(50, "now", "gone_proven"), past(20, "fit_rested", "filler", "request")]
        result = rank(tracks, sets, tonight=["now"], requests=["request", "gone"], missing=["gone", "gone_proven"])
        self.assertEqual(titles(result.next), ["proven_twice", "proven_off_key", "request", "fit_new", "fit_rested",
                                               "tempo_only", "key_only"])
        self.assertEqual(titles(result.fresh), ["fit_new", "tempo_only"], "no missing file is ever offered")

    def test_requests_stay_listed_and_pass_every_moment(self):
        # Enough fitting tracks to push an unfitting request far below the list's length.
        tracks = [track("now", cat="peak")] + [track("fill%02d" % i, cat="peak") for i in range(ranking.NEXT_LIMIT + 5)]
        tracks += [track("req_fit", "9A", 125, "build"), track("req_off", "2B", 90, "warmup"), track("req_nocat", "3B"),
                   track("req_done", cat="peak")]
        result = rank(tracks, tonight=["req_done", "now"], requests=["req_fit", "req_off", "req_nocat", "req_done"])
        self.assertEqual(sorted(p.track.title for p in result.next if p.prep), ["req_fit", "req_nocat", "req_off"])
        self.assertEqual([p.track.title for p in result.next if p.fitnow], ["req_fit"])
        self.assertEqual(result.next[0].track.title, "req_fit", "a request that fits now leads unproven picks")
        doc = document(result)
        self.assertEqual([c["id"] for c in doc["cats"]], ["warmup", "build", "peak"])
        for cat in doc["cats"]:
            shown = {p["title"][-7:] for p in doc["next"] if p.get("cat") == cat["id"] or p.get("prep") is True}
            self.assertTrue({"req_fit", "req_off", "q_nocat"} <= shown, cat)

    def test_freshness_bands_at_their_edges_and_the_fresh_list(self):
        tracks = [track(n) for n in ("now", "never", "d179", "d180", "in3of5", "in2of5")]
        tracks += [track("never_key", "9A", 123), track("long_tempo", "3B", 126), track("never_slow", "8A", 100)]
        sets = [past(179, "d179"), past(180, "d180"), past(200, "in2of5"), past(210, "in2of5"), past(400, "long_tempo"),
                past(40, "in3of5", "in2of5"), past(30, "in3of5"), past(20, "in3of5", "in2of5"), past(10, "x"), past(5, "y")]
        result = rank(tracks, sets, tonight=["now"])
        self.assertEqual({p.track.title: (p.fresh, p.rest) for p in result.next if p.track.title[0] in "nid"},
                         {"never": ("never", None), "d179": ("rested", 179), "d180": ("rested_long", 180),
                          "in3of5": ("overplayed", 20), "in2of5": ("rested", 20), "never_key": ("never", None),
                          "never_slow": ("never", None)})
        self.assertEqual([(p.track.title, p.reason) for p in result.fresh], [
            ("never", "never played · in key"), ("never_key", "never played · in key"),
            ("d180", "rested 6 mo · in key"), ("long_tempo", "rested 1 y · tempo fits")])

    def test_rut_is_the_share_of_tonight_played_every_gig_and_bangers_the_most_played(self):
        tracks = [track(n) for n in ("s1", "s2", "new1", "old1", "b1")]
        sets = [past(30, "s1", "s2"), past(20, "s1", "s2", "old1"), past(10, "s1", "s2", "b1"), past(5, "old1")]
        for tonight, rut in ((["s1", "new1", "s2", "old1"], 0.5), (["new1", "old1"], 0.0), ([], 0.0)):
            self.assertEqual(rank(tracks, sets, tonight=tonight).rut, rut)
        self.assertEqual(document(rank(tracks, sets, tonight=["s1", "new1", "old1"]))["rut"], 0.333)
        bangers = rank(tracks, sets, tonight=["new1", "s1"]).bangers
        self.assertEqual([(p.track.title, p.proven) for p in bangers], [("s2", 3), ("old1", 2), ("b1", 1)])

    def test_document_types_follow_the_feed(self):
        tracks = [track("now", "8A", 127.6, "peak"), track("next", "Em", 126.4), track("old", "8A", 125)]
        doc = json.loads(json.dumps(document(rank(tracks, [past(90, "now", "old")], ["now"]), "demo", {"id": "x"})))
        self.assertEqual((doc["ok"], doc["played"], doc["source"], doc["now"]["bpm"]), (True, 1, {"id": "x"}, 128))
        picks = {p["path"][7:-4]: p for p in doc["next"] + doc["fresh"] + doc["bangers"]}
        self.assertEqual((picks["old"]["title"], picks["old"]["proven"], picks["old"]["src"], picks["old"]["rest"]),
                         ("Artist old — old", 1, "demo", 90))
        self.assertEqual((picks["next"]["key"], "cat" in picks["next"], "rest" in picks["next"]), ("Em", False, False))
        self.assertEqual({type(p["bpm"]) for p in picks.values()}, {int})
        waiting = document(rank([track("a")], [past(3, "a")]))
        self.assertEqual((waiting["ok"], "now" in waiting, "next" in waiting, waiting["cats"]), (False, False, False, []))

if __name__ == "__main__":
    unittest.main()
