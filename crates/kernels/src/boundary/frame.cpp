// placeholder until the module frame lands
