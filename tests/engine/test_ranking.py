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


def track(name, key="", bpm=0.0, cat=None):
    return Track(path=path(name), title=name, artist="Artist %s" % name, key=key, bpm=bpm, category=cat)


def past(days_ago, *names):
    return PastSet(date=TODAY - datetime.timedelta(days=days_ago), plays=tuple(path(n) for n in names))


def rank(tracks, sets=(), tonight=(), requests=()):
    return ranking.rank(Library(tracks), History(past_sets=list(sets), tonight=[path(n) for n in tonight]),
                        [path(n) for n in requests], TODAY)


def by_title(picks):
    return {p.track.title: p for p in picks}


class KeyTest(unittest.TestCase):
    def test_notations_read_as_camelot(self):
        cases = {
            "8A": (8, "A"), "12b": (12, "B"), "1m": (8, "A"), "1d": (8, "B"), "6m": (1, "A"), "12d": (7, "B"),
            "Am": (8, "A"), "C": (8, "B"), "F#m": (11, "A"), "Bbm": (3, "A"), "Db": (3, "B"), "E": (12, "B"),
            "Abm": (1, "A"), "B": (1, "B"), "G minor": (6, "A"), "D major": (10, "B"), "C#m": (12, "A"),
        }
        for text, expected in cases.items():
            with self.subTest(key=text):
                self.assertEqual(parse_key(text), Camelot(*expected))
        for text in ("", "13A", "0B", "H", "8C", "Xm", "8Am", None):
            with self.subTest(key=text):
                self.assertIsNone(parse_key(text))

    def test_harmonic_neighbours(self):
        cases = [
            ("8A", "8A", True), ("8A", "9A", True), ("8A", "7A", True), ("12A", "1A", True), ("1B", "12B", True),
            ("8A", "8B", True), ("Am", "C", True), ("Am", "1d", True), ("12A", "2A", False), ("12A", "1B", False),
            ("8A", "9B", False), ("8A", "10A", False), ("8A", "", False),
        ]
        for a, b, expected in cases:
            with self.subTest(a=a, b=b):
                self.assertEqual(is_harmonic(parse_key(a), parse_key(b)), expected)
                self.assertEqual(is_harmonic(parse_key(b), parse_key(a)), expected)


class TempoTest(unittest.TestCase):
    def test_six_percent_at_same_half_and_double_time(self):
        cases = [
            (100, 106, True), (100, 94, True), (100, 106.5, False), (100, 93.5, False),
            (128, 64, True), (70, 140, True), (100, 53, True), (100, 53.5, False), (100, 212, True),
            (100, 213, False), (124, 0, False), (0, 124, False),
        ]
        for now, bpm, expected in cases:
            with self.subTest(now=now, bpm=bpm):
                self.assertEqual(tempo_fits(now, bpm), expected)


class ProvenTest(unittest.TestCase):
    def test_count_of_plays_right_after_the_playing_track(self):
        tracks = [track(n, "5B", 120) for n in ("a", "b", "c", "d", "x")]
        sets = [past(40, "a", "b", "c"), past(30, "a", "b"), past(20, "x", "a", "c"), past(10, "b", "a", "b"),
                past(5, "b", "d", "a")]
        result = rank(tracks, sets, tonight=["d", "a"])
        picks = by_title(result.next)
        self.assertEqual(picks["b"].proven, 3)
        self.assertEqual(picks["c"].proven, 1)
        self.assertEqual(picks["x"].proven, 0, "played before the track, not after it")
        self.assertNotIn("d", picks, "tracks already played tonight are not suggested again")

    def test_proven_sequences_rank_first_then_fitting_requests_then_fit_then_freshness(self):
        tracks = [track("now", "8A", 124), track("proven_off_key", "3B", 100), track("proven_twice", "3B", 100),
                  track("fit_rested", "9A", 125), track("fit_new", "9A", 125), track("tempo_only", "2B", 124),
                  track("key_only", "8B", 90), track("filler", "2B", 100), track("request", "7A", 122)]
        sets = [past(300, "now", "proven_twice"), past(200, "now", "proven_twice"), past(100, "now", "proven_off_key"),
                past(20, "fit_rested", "filler", "request")]
        result = rank(tracks, sets, tonight=["now"], requests=["request"])
        self.assertEqual([p.track.title for p in result.next],
                         ["proven_twice", "proven_off_key", "request", "fit_new", "fit_rested", "tempo_only",
                          "key_only"])


class FreshnessTest(unittest.TestCase):
    def test_bands_at_their_edges(self):
        names = ["now", "never", "d179", "d180", "in3of5", "in2of5"]
        tracks = [track(n, "8A", 124) for n in names]
        sets = [past(179, "d179"), past(180, "d180"), past(200, "in2of5"), past(210, "in2of5"),
                past(40, "in3of5", "in2of5"), past(30, "in3of5"), past(20, "in3of5", "in2of5"),
                past(10, "x"), past(5, "y")]
        picks = by_title(rank(tracks, sets, tonight=["now"]).next)
        self.assertEqual((picks["never"].fresh, picks["never"].rest), ("never", None))
        self.assertEqual((picks["d179"].fresh, picks["d179"].rest), ("rested", 179))
        self.assertEqual((picks["d180"].fresh, picks["d180"].rest), ("rested_long", 180))
        self.assertEqual(picks["in3of5"].fresh, "overplayed")
        self.assertEqual((picks["in2of5"].fresh, picks["in2of5"].rest), ("rested", 20))

    def test_fresh_list_holds_fitting_never_and_long_rested_tracks_with_a_reason(self):
        tracks = [track("now", "8A", 124), track("never_key", "9A", 123), track("long_tempo", "3B", 126),
                  track("never_slow", "8A", 100), track("recent", "8A", 124)]
        sets = [past(400, "long_tempo"), past(3, "recent")]
        fresh = rank(tracks, sets, tonight=["now"]).fresh
        self.assertEqual([p.track.title for p in fresh], ["never_key", "long_tempo"])
        self.assertTrue(all(p.reason for p in fresh))
        self.assertIn("never", fresh[0].reason)


class RutAndBangersTest(unittest.TestCase):
    def test_rut_is_the_share_of_tonight_that_is_played_every_gig(self):
        tracks = [track(n, "8A", 124) for n in ("s1", "s2", "new1", "old1", "later")]
        sets = [past(30, "s1", "s2"), past(20, "s1", "s2", "old1"), past(10, "s1", "s2"), past(5, "old1")]
        self.assertEqual(rank(tracks, sets, tonight=["s1", "new1", "s2", "old1"]).rut, 0.5)
        self.assertEqual(rank(tracks, sets, tonight=["new1", "old1"]).rut, 0.0)
        self.assertEqual(rank(tracks, sets, tonight=[]).rut, 0.0)
        doc = document(rank(tracks, sets, tonight=["s1", "new1", "old1"]))
        self.assertAlmostEqual(doc["rut"], 1 / 3, places=3)

    def test_bangers_are_the_tracks_in_most_sets(self):
        tracks = [track(n, "8A", 124) for n in ("now", "b3", "b2", "b1", "never")]
        sets = [past(30, "b3", "b2"), past(20, "b3", "b1"), past(10, "b3", "b2")]
        bangers = rank(tracks, sets, tonight=["now"]).bangers
        self.assertEqual([(p.track.title, p.proven) for p in bangers], [("b3", 3), ("b2", 2), ("b1", 1)])


class RequestTest(unittest.TestCase):
    def test_requests_stay_listed_and_pass_every_moment(self):
        # Enough fitting tracks to push an unfitting request far below the list's length.
        tracks = [track("now", "8A", 124, "peak")]
        tracks += [track("fill%02d" % i, "8A", 124, "peak") for i in range(ranking.NEXT_LIMIT + 5)]
        tracks += [track("req_fit", "9A", 125, "build"), track("req_off", "2B", 90, "warmup"),
                   track("req_nocat", "3B", 124), track("req_done", "8A", 124, "peak")]
        result = rank(tracks, tonight=["req_done", "now"], requests=["req_fit", "req_off", "req_nocat", "req_done"])
        picks = by_title(result.next)
        self.assertEqual({t for t, p in picks.items() if p.prep}, {"req_fit", "req_off", "req_nocat"})
        self.assertTrue(picks["req_fit"].fitnow)
        self.assertFalse(picks["req_off"].fitnow or picks["req_nocat"].fitnow)
        self.assertFalse(picks["fill00"].prep or picks["fill00"].fitnow)
        self.assertEqual(result.next[0].track.title, "req_fit", "a request that fits now leads unproven picks")
        doc = document(result)
        self.assertEqual([c["id"] for c in doc["cats"]], ["warmup", "build", "peak"])
        for cat in doc["cats"]:
            shown = {p["title"] for p in doc["next"] if p.get("cat") == cat["id"] or p.get("prep") is True}
            with self.subTest(moment=cat["id"]):
                self.assertTrue({"Artist req_fit — req_fit", "Artist req_off — req_off",
                                 "Artist req_nocat — req_nocat"} <= shown)


class DocumentTest(unittest.TestCase):
    def test_document_types_follow_the_feed(self):
        tracks = [track("now", "8A", 127.6, "peak"), track("next", "Em", 126.4), track("old", "8A", 125)]
        doc = json.loads(json.dumps(document(rank(tracks, [past(90, "now", "old")], tonight=["now"]), "demo")))
        self.assertIs(doc["ok"], True)
        self.assertEqual(doc["now"], {"path": path("now"), "title": "Artist now — now", "key": "8A", "bpm": 128})
        self.assertEqual(doc["played"], 1)
        first = doc["next"][0]
        self.assertEqual((first["title"], first["bpm"], first["proven"], first["src"]),
                         ("Artist old — old", 125, 1, "demo"))
        self.assertEqual(first["rest"], 90)
        nocat = [p for p in doc["next"] if p["path"] == path("next")][0]
        self.assertEqual(nocat["key"], "Em", "keys are shown as the library writes them")
        self.assertNotIn("cat", nocat)
        self.assertNotIn("rest", nocat)
        for pick in doc["next"] + doc["fresh"] + doc["bangers"]:
            self.assertIsInstance(pick["bpm"], int)

    def test_nothing_playing_is_not_ok(self):
        doc = document(rank([track("a", "8A", 120)], [past(3, "a")]))
        self.assertIs(doc["ok"], False)
        self.assertNotIn("now", doc)
        self.assertNotIn("next", doc)


if __name__ == "__main__":
    unittest.main()
