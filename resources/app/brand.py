# Brand names read by the overlay and the engine. Keep the quoted form: the programs search for
# BRAND_NAME", " and BRAND_SHORT", " followed by the value.
BRAND = {
    "BRAND_NAME", "Crate Warden",
    "BRAND_SHORT", "Warden",
}
BRAND_NAME = "Crate Warden"
BRAND_SHORT = "Warden"
