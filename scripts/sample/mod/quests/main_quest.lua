-- The first quest of the sample mod.
local quest = { id = "mq_001", title = "The Lantern Bridge", reward = 250 }

function quest.on_start(player)
    player:add_journal_entry(quest.id, "Find the lantern near the bridge.")
end

return quest
