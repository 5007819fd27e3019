-- The quest log of the sample game.
local quests = {
  { id = 1, title = "The Lowland Road", reward = 120 },
  { id = 2, title = "Fires at the Old Tower", reward = 300 },
}

function quest_title(id)
  for _, q in ipairs(quests) do
    if q.id == id then return q.title end
  end
  return nil
end
