"""The soil model written the obvious way in plain Python: the yardstick of bench_soil.py.

The same steps as terrak.geo's Soil, SoilLayer and SoilLayout, over the same host objects (the
host's Color, munch's Munch, munchify and unmunchify, math.isclose with the host's tolerances),
written as a user would write them: attribute access, one loop per step, the list edited in place.
"""

import math

from munch import munchify, unmunchify

from terrak.core import ISCLOSE_ATOL, ISCLOSE_RTOL, Color


class Soil:
    def __init__(self, name, color, properties=None):
        self.name = name
        self._color = color
        self.properties = munchify({} if properties is None else properties)

    @property
    def color(self):
        return self._color

    def __eq__(self, other):
        return self.name == other.name

    __hash__ = None

    def serialize(self):
        return {"name": self.name, "color": self.color.rgb, "properties": unmunchify(self.properties)}

    @classmethod
    def from_dict(cls, d):
        return cls(d["name"], Color(*d["color"]), d.get("properties"))


class SoilLayer:
    def __init__(self, soil, top_of_layer, bottom_of_layer, properties=None):
        self.soil = soil
        self.top_of_layer = top_of_layer
        self.bottom_of_layer = bottom_of_layer
        self.properties = munchify({} if properties is None else properties)

    @property
    def thickness(self):
        return abs(self.top_of_layer - self.bottom_of_layer)

    def serialize(self):
        return {"soil": self.soil.serialize(), "top_of_layer": self.top_of_layer,
                "bottom_of_layer": self.bottom_of_layer, "properties": unmunchify(self.properties)}

    @classmethod
    def from_dict(cls, d):
        return cls(Soil.from_dict(d["soil"]), d["top_of_layer"], d["bottom_of_layer"], d["properties"])


def replacement_for_block(block, layers, min_layer_thickness, replacements_so_far):
    start_index = layers.index(block[0])
    end_index = layers.index(block[-1]) + 1
    if abs(block[0].top_of_layer - block[-1].bottom_of_layer) >= min_layer_thickness:
        unique_soils = SoilLayout(block).filter_unique_soils()
        cumulative = {soil.name: 0.0 for soil in unique_soils}
        for layer in block:
            cumulative[layer.soil.name] += layer.thickness
        dominant_name = max(cumulative, key=cumulative.get)
        dominant_soil = next(soil for soil in unique_soils if soil.name == dominant_name)
        properties, thickest = None, None
        for layer in block:
            if layer.soil == dominant_soil and (thickest is None or layer.thickness > thickest):
                thickest, properties = layer.thickness, layer.properties
        new_layer = SoilLayer(dominant_soil, block[0].top_of_layer, block[-1].bottom_of_layer, properties)
    elif start_index == 0:
        below = layers[end_index]
        new_layer = SoilLayer(below.soil, block[0].top_of_layer, below.bottom_of_layer, below.properties)
        end_index += 1
    elif replacements_so_far and start_index == replacements_so_far[-1]["end_index"]:
        previous = replacements_so_far.pop()
        grown = previous["new_layer"]
        new_layer = SoilLayer(grown.soil, grown.top_of_layer, block[-1].bottom_of_layer, grown.properties)
        start_index = previous["start_index"]
    else:
        above = layers[start_index - 1]
        new_layer = SoilLayer(above.soil, above.top_of_layer, block[-1].bottom_of_layer, above.properties)
        start_index = max(start_index - 1, 0)
    return {"start_index": start_index, "end_index": end_index, "new_layer": new_layer}


class SoilLayout:
    def __init__(self, soil_layers):
        self.layers = soil_layers

    def serialize(self):
        return {"layers": [layer.serialize() for layer in self.layers]}

    @classmethod
    def from_dict(cls, d):
        return cls([SoilLayer.from_dict(layer) for layer in d["layers"]])

    def filter_unique_soils(self):
        unique = []
        for layer in self.layers:
            if layer.soil not in unique:
                unique.append(layer.soil)
        return unique

    def update_layers(self):
        self._merge_adjacent_same_soil_layers()
        self._update_bottom_depth()

    def _merge_adjacent_same_soil_layers(self):
        layers = self.layers
        i = 0
        while i < len(layers) - 1:
            upper, lower = layers[i], layers[i + 1]
            if not upper.soil == lower.soil:
                i += 1
                continue
            if upper.properties is not None:
                if upper.properties.keys() != lower.properties.keys():
                    raise AttributeError("Cannot merge layers: layers do not share all properties.")
                t1, t2 = upper.thickness, lower.thickness
                for name in list(upper.properties.keys()):
                    value_1, value_2 = getattr(upper.properties, name), getattr(lower.properties, name)
                    if isinstance(value_1, (bool, str)):
                        if value_1 != value_2:
                            raise ValueError(f"Cannot merge layers: values for property '{name}' do not match")
                        merged = value_1
                    elif isinstance(value_1, (int, float)):
                        merged = (t1 * value_1 + t2 * value_2) / (t1 + t2)
                    else:
                        raise NotImplementedError(f"Cannot merge layers: values of property '{name}'")
                    setattr(upper.properties, name, merged)
            upper.bottom_of_layer = lower.bottom_of_layer
            del layers[i + 1]

    def _update_bottom_depth(self):
        layers = self.layers
        for upper, lower in zip(layers, layers[1:]):
            if not math.isclose(upper.bottom_of_layer, lower.top_of_layer, rel_tol=ISCLOSE_RTOL,
                                abs_tol=ISCLOSE_ATOL):
                upper.bottom_of_layer = lower.top_of_layer

    def filter_layers_on_thickness(self, min_layer_thickness, merge_adjacent_same_soil_layers=False):
        layers = self.layers
        replacements, group = [], []
        for layer in layers:
            if group and abs(group[0].top_of_layer - group[-1].bottom_of_layer) >= min_layer_thickness:
                replacements.append(replacement_for_block(group, layers, min_layer_thickness, replacements))
                group = []
            if layer.thickness < min_layer_thickness:
                group.append(layer)
            elif group:
                replacements.append(replacement_for_block(group, layers, min_layer_thickness, replacements))
                group = []
        if group:
            replacements.append(replacement_for_block(group, layers, min_layer_thickness, replacements))
        for replacement in reversed(replacements):
            del layers[replacement["start_index"]:replacement["end_index"]]
            layers.insert(replacement["start_index"], replacement["new_layer"])
        if merge_adjacent_same_soil_layers is True:
            self._merge_adjacent_same_soil_layers()
        return self
