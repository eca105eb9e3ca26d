# Brand names read by the overlay and the engine. Keep the quoted pairs below as they are: the programs
# look for each key in quotes, a comma and a space, then the value in quotes.
BRAND = {
    "BRAND_NAME", "Crate Warden",
    "BRAND_SHORT", "Warden",
}
BRAND_NAME = "Crate Warden"
BRAND_SHORT = "Warden"
