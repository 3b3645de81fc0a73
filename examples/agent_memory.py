"""A small agent memory on tornquil: remember notes, recall them by similarity, forget.

No embedding model is available offline, so the vectors here come from a deterministic
hashing embedding of the text (words and character trigrams hashed into 256 buckets).
It is crude, but similar texts share buckets, which is all this example needs; a real
agent would put its embedding model's vectors in the same place.
"""

import hashlib
import os
import shutil
import sys
import tempfile

import numpy as np

import tornquil

DIM = 256


STOPWORDS = {"a", "an", "and", "any", "does", "for", "her", "in", "is", "of", "on", "over",
             "she", "the", "to", "what", "which", "with", "ada", "ada's", "user's"}


def embed(text: str) -> np.ndarray:
    """Hashing embedding: every word and character trigram adds to one bucket."""
    v = np.zeros(DIM, dtype=np.float32)
    words = [w.strip(".,?!") for w in text.lower().split()]
    words = [w for w in words if w and w not in STOPWORDS]
    grams = words + [w[i : i + 3] for w in words for i in range(max(1, len(w) - 2))]
    for g in grams:
        h = int.from_bytes(hashlib.blake2b(g.encode(), digest_size=8).digest(), "little")
        v[h % DIM] += 1.0 if (h >> 63) == 0 else -1.0
    return v


def main() -> int:
    root = tempfile.mkdtemp(prefix="agent_memory_")
    path = os.path.join(root, "memory.db")
    try:
        db = tornquil.Tornquil(path)
        notes = db.collection("notes", DIM)  # cosine similarity by default

        facts = [
            ("The user's name is Ada and she lives in Lisbon.", "profile", None),
            ("Ada prefers green tea over coffee in the morning.", "preference", None),
            ("Ada is allergic to peanuts.", "health", None),
            ("Meeting with the design team moved to Thursday 3pm.", "calendar", 3600),
            ("Ada's favourite programming language is OCaml.", "preference", None),
            ("Remind Ada to water the basil plant.", "todo", 60),
        ]
        ids = []
        for text, kind, ttl in facts:
            ids.append(notes.add(embed(text), {"text": text, "kind": kind}, ttl=ttl))
        print(f"remembered {len(notes)} notes in {notes!r}")

        def recall(question, where=None, k=2):
            print(f"\nrecall: {question!r}" + (f" where {where}" if where else ""))
            for hit in notes.search(embed(question), k, where_=where):
                print(f"  {hit.score:.3f}  [{hit.metadata['kind']}] {hit.metadata['text']}")

        recall("what does she prefer to drink in the morning")
        recall("is she allergic to any food")
        recall("her favourite things", where={"kind": "preference"})
        recall("meeting on Thursday", where={"kind": {"$in": ["calendar", "todo"]}})

        # Forget the allergy note and overwrite the tea preference in place.
        notes.delete(ids[2])
        notes.upsert(ids[1], embed("Ada now prefers black coffee in the morning."),
                     {"text": "Ada now prefers black coffee in the morning.",
                      "kind": "preference"})
        notes.sync()
        del notes, db

        # A new process (here: a new handle) finds everything that was acknowledged.
        db = tornquil.Tornquil(path)
        notes = db.get_collection("notes")
        print(f"\nafter reopening: {len(notes)} notes, collections={db.collections()}")
        recall("what does she prefer to drink in the morning")
        recall("is she allergic to any food")
        return 0
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
