#!/usr/bin/python3
"""Reads saved meshes with readers of their own (meshio for PLY, OBJ and STL, ezdxf for DXF) and
prints, one JSON line per file, what a mine planning package would find in it.

    mesh_check.py FILE...

Corners at exactly the same position are one vertex, whatever the format shares; a triangle
with two corners at one position is degenerate and left out of the edge counts. Keys:
vertices, triangles, degenerate, boundary_edges (edges of one triangle), nonmanifold_edges
(edges of three or more), misoriented_edges (edges two triangles run the same way), pieces
(the signed volume of each edge-connected piece, in file order), volume (their sum), layers
(DXF only: the layers of the 3DFACEs). Volumes are taken about the vertices' mean, so that
site coordinates keep their digits.
"""
import json
import sys

import numpy as np


def read_dxf(path):
    import ezdxf

    doc = ezdxf.readfile(path)
    corners, layers = [], set()
    for face in doc.modelspace().query("3DFACE"):
        layers.add(face.dxf.layer)
        c = [tuple(face.dxf.get(k)) for k in ("vtx0", "vtx1", "vtx2", "vtx3")]
        corners.append(c[:3])
        if c[3] != c[2]:
            corners.append([c[0], c[2], c[3]])
    flat = np.array(corners, dtype=np.float64).reshape(-1, 3)
    return flat, np.arange(len(flat)).reshape(-1, 3), sorted(layers)


def read_meshio(path):
    import meshio

    mesh = meshio.read(path)
    triangles = [c.data for c in mesh.cells if c.type == "triangle"]
    faces = np.concatenate(triangles) if triangles else np.zeros((0, 3), dtype=np.int64)
    return np.asarray(mesh.points, dtype=np.float64), faces.astype(np.int64), None


def pieces_of(faces, vertex_count):
    """Labels of the edge-connected pieces, numbered by their first triangle."""
    parent = list(range(len(faces)))

    def root(i):
        while parent[i] != i:
            parent[i] = parent[parent[i]]
            i = parent[i]
        return i

    edges = np.sort(np.concatenate([faces[:, [0, 1]], faces[:, [1, 2]], faces[:, [2, 0]]]), axis=1)
    keys = edges[:, 0] * vertex_count + edges[:, 1]
    owner = np.tile(np.arange(len(faces)), 3)
    order = np.argsort(keys, kind="stable")
    keys, owner = keys[order], owner[order]
    for j in np.nonzero(keys[1:] == keys[:-1])[0]:
        a, b = root(int(owner[j])), root(int(owner[j + 1]))
        if a != b:
            parent[max(a, b)] = min(a, b)
    roots = np.array([root(i) for i in range(len(faces))], dtype=np.int64)
    _, labels = np.unique(roots, return_inverse=True)  # roots are first triangles: file order
    return labels


def check(path):
    if path.lower().endswith(".dxf"):
        points, faces, layers = read_dxf(path)
    else:
        points, faces, layers = read_meshio(path)
    points, inverse = np.unique(points, axis=0, return_inverse=True)
    faces = inverse.reshape(-1)[faces]
    bad = (faces[:, 0] == faces[:, 1]) | (faces[:, 1] == faces[:, 2]) | (faces[:, 2] == faces[:, 0])
    good = faces[~bad]
    n = len(points)
    directed = np.concatenate([good[:, [0, 1]], good[:, [1, 2]], good[:, [2, 0]]])
    undirected = np.sort(directed, axis=1)
    _, uses = np.unique(undirected[:, 0] * n + undirected[:, 1], return_counts=True)
    _, same_way = np.unique(directed[:, 0] * n + directed[:, 1], return_counts=True)
    local = points - points.mean(axis=0) if n else points
    a, b, c = (local[good[:, k]] for k in range(3))
    signed = np.einsum("ij,ij->i", a, np.cross(b, c)) / 6.0
    labels = pieces_of(good, n) if len(good) else np.zeros(0, dtype=np.int64)
    volumes = np.bincount(labels, weights=signed) if len(good) else np.zeros(0)
    out = {
        "vertices": int(n),
        "triangles": int(len(faces)),
        "degenerate": int(bad.sum()),
        "boundary_edges": int((uses == 1).sum()),
        "nonmanifold_edges": int((uses > 2).sum()),
        "misoriented_edges": int((same_way > 1).sum()),
        "pieces": [float(v) for v in volumes],
        "volume": float(volumes.sum()),
    }
    if layers is not None:
        out["layers"] = layers
    return out


if __name__ == "__main__":
    for name in sys.argv[1:]:
        print(json.dumps(check(name)), flush=True)
