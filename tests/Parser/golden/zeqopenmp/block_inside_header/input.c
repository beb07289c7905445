parallel( { break; } )
